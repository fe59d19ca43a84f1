# Runs PROGRAM (under EMULATOR when cross-compiled) and compares its output with EXPECTED.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE got RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${status}")
endif()
file(READ ${EXPECTED} expected)
if(NOT got STREQUAL expected)
  message(FATAL_ERROR "digest differs from ${EXPECTED}:\n--- expected\n${expected}--- got\n${got}")
endif()
