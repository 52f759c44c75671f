# Runs COMMAND (a ;-list) and requires exit status 0 and standard output
# matching the regular expression EXPECT.
#   cmake -DCOMMAND=... -DEXPECT=... -P run_and_match.cmake
execute_process(COMMAND ${COMMAND}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${COMMAND} exited with ${rc}:\n${err}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "output does not match:\n${EXPECT}")
endif()
