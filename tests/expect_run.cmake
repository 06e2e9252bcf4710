# Runs COMMAND (its words separated by |; empty words are dropped, so an
# empty emulator prefix may stand first) and passes only when it exits with
# EXPECT_RC and its output, stdout and stderr together, matches the regular
# expression EXPECT.
string(REPLACE "|" ";" command "${COMMAND}")
list(REMOVE_ITEM command "")
execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc STREQUAL "${EXPECT_RC}")
  message(FATAL_ERROR "exit status ${rc}, expected ${EXPECT_RC}; output:\n${out}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "the output does not match \"${EXPECT}\":\n${out}")
endif()
message(STATUS "exit status ${rc}, output matches \"${EXPECT}\"")
