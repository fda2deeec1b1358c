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

# Same commit, same bytes, whatever the folder, clock or user: the header's
# time stamp is SOURCE_DATE_EPOCH when given, else the commit's time, else 0
# (ld reads SOURCE_DATE_EPOCH; it also writes a correct PE checksum), and no
# build path reaches the file. The epoch sits in a file the link depends on,
# so that a new commit relinks even when no source changed.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(velquist_epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT velquist_epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH='${velquist_epoch}' is not a whole number of seconds")
  endif()
else()
  execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE velquist_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE velquist_git_failed ERROR_QUIET)
  if(velquist_git_failed OR NOT velquist_epoch MATCHES "^[0-9]+$")
    set(velquist_epoch 0)
  endif()
endif()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/source_date_epoch" CONTENT "${velquist_epoch}\n")
set_target_properties(velquist PROPERTIES
    CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${velquist_epoch}"
    LINK_DEPENDS "${CMAKE_BINARY_DIR}/source_date_epoch")
target_compile_options(velquist PRIVATE "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")

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

foreach(extra tests/wine tests/pe bench/floor)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()
