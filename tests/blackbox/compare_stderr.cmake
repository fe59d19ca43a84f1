# Runs PROGRAM with standard error captured and compares it, byte for byte, with the file EXPECTED,
# and the exit status with EXPECTED_STATUS.
execute_process(COMMAND ${PROGRAM} ${ARGS}
  ERROR_VARIABLE actual OUTPUT_VARIABLE out RESULT_VARIABLE status)
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "standard error differs.\n--- expected\n${expected}\n--- actual\n${actual}")
endif()
if(NOT status STREQUAL EXPECTED_STATUS)
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECTED_STATUS}")
endif()
