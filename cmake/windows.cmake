# The shipped executable: 32-bit, GUI subsystem, wide entry point, no runtime DLLs.
enable_language(RC)

add_executable(velquist WIN32 ${VELQUIST_SOURCES} res/velquist.rc)
target_include_directories(velquist PRIVATE ${VELQUIST_INCLUDES})
target_compile_options(velquist PRIVATE -municode -Wall -Wextra -O2)
target_link_options(velquist PRIVATE -municode -static -s)
set_target_properties(velquist PROPERTIES OUTPUT_NAME velquist)

foreach(extra tests/wine bench/floor)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()
