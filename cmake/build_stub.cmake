# Builds one Windows stub for the host tool, which embeds it: configures the stub's preset
# when its build folder has never been configured (a clean clone), then builds it. The
# stub's own build decides whether anything is out of date, so this runs on every build of
# the tool and costs a no-op Ninja run when the stub is current.
#
#   cmake -DSOURCE=<checkout> -DPRESET=win64|win32 -DBINARY=<its build folder> -P build_stub.cmake
if(NOT EXISTS "${BINARY}/CMakeCache.txt")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset "${PRESET}"
    WORKING_DIRECTORY "${SOURCE}" RESULT_VARIABLE result)
  if(result)
    message(FATAL_ERROR "configuring the ${PRESET} stub failed")
  endif()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY}" --target quorsfx
  RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "building the ${PRESET} stub failed")
endif()
