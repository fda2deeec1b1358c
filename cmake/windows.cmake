# The Windows build. `make exe` builds what ships, velquist.exe and
# velquist-check.exe (kit/); the test programs and benchmark stand-ins are
# left out of it and built by the suites that need them.
enable_language(RC)
include(cmake/windows-program.cmake)

# The shipped executable: 32-bit, GUI subsystem, wide entry point, no runtime DLLs.
velquist_windows_program(velquist GUI
    SOURCES ${VELQUIST_SOURCES} res/velquist.rc
    RESOURCE_DEPENDS ${CMAKE_SOURCE_DIR}/res/velquist.manifest ${CMAKE_SOURCE_DIR}/res/velquist.ico
                     ${CMAKE_SOURCE_DIR}/res/resource.h)
target_include_directories(velquist PRIVATE ${VELQUIST_INCLUDES})

add_subdirectory(kit)
file(GLOB velquist_test_dirs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*/CMakeLists.txt)
foreach(extra ${velquist_test_dirs})
  get_filename_component(extra ${extra} DIRECTORY)
  add_subdirectory(${extra} EXCLUDE_FROM_ALL)
endforeach()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/floor/CMakeLists.txt)
  add_subdirectory(bench/floor EXCLUDE_FROM_ALL)
endif()
