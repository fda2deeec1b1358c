# The shipped executable: 32-bit, GUI subsystem, wide entry point, no runtime DLLs.
enable_language(RC)

add_executable(velquist WIN32 ${VELQUIST_SOURCES} res/velquist.rc)
target_include_directories(velquist PRIVATE ${VELQUIST_INCLUDES})
target_compile_options(velquist PRIVATE -municode -Wall -Wextra -O2)
# Windows 6.0 is the oldest system that starts it (and the first with the
# elevation prompt the manifest asks for). ASLR and DEP are spelled out rather
# than left to the linker's defaults, which have changed between binutils releases.
target_link_options(velquist PRIVATE -municode -static -s
    -Wl,--major-os-version,6,--minor-os-version,0
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,0
    -Wl,--dynamicbase,--nxcompat)
set_target_properties(velquist PROPERTIES OUTPUT_NAME velquist)

# The version number is written once, in project(); the version block gets its
# parts from here. The .rc also pulls in files that CMake's scanner does not see.
set_property(SOURCE res/velquist.rc APPEND PROPERTY COMPILE_DEFINITIONS
    VELQUIST_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    VELQUIST_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    VELQUIST_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    VELQUIST_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
set_property(SOURCE res/velquist.rc APPEND PROPERTY OBJECT_DEPENDS
    ${CMAKE_SOURCE_DIR}/res/velquist.manifest
    ${CMAKE_SOURCE_DIR}/res/velquist.ico
    ${CMAKE_SOURCE_DIR}/res/resource.h)

foreach(extra kit tests/wine tests/check tests/pe bench/floor)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()
