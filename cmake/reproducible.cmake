# Same commit, same bytes, whatever the folder, clock or user. The header's
# time stamp is SOURCE_DATE_EPOCH when given, else the commit's time, else 0:
# ld takes it from SOURCE_DATE_EPOCH, and writes a correct PE checksum. Set
# for every target defined after this, so that each shipped file gets it.
# The epoch is part of the link command, so Ninja relinks when it changes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(VELQUIST_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT VELQUIST_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH='${VELQUIST_EPOCH}' is not a whole number of seconds")
  endif()
else()
  execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE VELQUIST_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE velquist_git_failed ERROR_QUIET)
  if(velquist_git_failed OR NOT VELQUIST_EPOCH MATCHES "^[0-9]+$")
    set(VELQUIST_EPOCH 0)
  endif()
endif()
set(CMAKE_CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${VELQUIST_EPOCH}")
# No build folder in the file (__FILE__, debug paths): sources are named
# relative to the checkout.
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>")
