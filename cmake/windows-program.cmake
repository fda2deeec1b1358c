# velquist_windows_program(NAME [GUI] SOURCES file... [RESOURCE_DEPENDS file...])
#
# Every Windows program here, shipped or not, is built by this one function,
# so that a test program or a benchmark's stand-in links like the shipped
# executable it stands beside. GUI: the Windows (no console) subsystem.
# RESOURCE_DEPENDS: files that the .rc among SOURCES pull in, which CMake's
# scanner does not see.
function(velquist_windows_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "GUI" "" "SOURCES;RESOURCE_DEPENDS")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "velquist_windows_program(${name}): expected [GUI] SOURCES ... [RESOURCE_DEPENDS ...], got ${ARGN}")
  endif()
  set(subsystem)
  if(arg_GUI)
    set(subsystem WIN32)
  endif()
  add_executable(${name} ${subsystem} ${arg_SOURCES})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-municode -Wall -Wextra -O2>)
  # Windows 6.0 is the oldest system that starts it (and the first with the
  # elevation prompt the manifest asks for). ASLR and DEP are spelled out
  # rather than left to the linker's defaults, which have changed between
  # binutils releases.
  target_link_options(${name} PRIVATE -municode -static -s
      -Wl,--major-os-version,6,--minor-os-version,0
      -Wl,--major-subsystem-version,6,--minor-subsystem-version,0
      -Wl,--dynamicbase,--nxcompat)
  # The version number is written once, in project(); a version block takes
  # its parts from here.
  set(version
      VELQUIST_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
      VELQUIST_VERSION_MINOR=${PROJECT_VERSION_MINOR}
      VELQUIST_VERSION_PATCH=${PROJECT_VERSION_PATCH}
      VELQUIST_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
  target_compile_definitions(${name} PRIVATE "$<$<COMPILE_LANGUAGE:RC>:${version}>")
  if(arg_RESOURCE_DEPENDS)
    foreach(source ${arg_SOURCES})
      if(source MATCHES "\\.rc$")
        # A source property of the directory, where programs may share the .rc.
        get_property(depends SOURCE ${source} PROPERTY OBJECT_DEPENDS)
        list(APPEND depends ${arg_RESOURCE_DEPENDS})
        list(REMOVE_DUPLICATES depends)
        set_property(SOURCE ${source} PROPERTY OBJECT_DEPENDS ${depends})
      endif()
    endforeach()
  endif()
endfunction()

# velquist_suite(NAME PROGRAM...): suite-NAME builds what the suite in
# tests/NAME runs under Wine: the shipped programs and its own. `make test`
# builds it for the suites it runs; `make exe` never does.
function(velquist_suite name)
  add_custom_target(suite-${name})
  add_dependencies(suite-${name} velquist velquist-check ${ARGN})
endfunction()
