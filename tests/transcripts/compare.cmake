# Runs a command and compares what it prints with a transcript kept beside
# the tests: the protocol as a person reads it. EMULATOR, when set, runs
# COMMAND (a cross-built program): execute_process does not go through
# CMAKE_CROSSCOMPILING_EMULATOR as add_test does.
execute_process(COMMAND ${EMULATOR} ${COMMAND} ${ARGS} OUTPUT_VARIABLE actual RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${COMMAND} failed with ${rc}:\n${actual}")
endif()
file(READ ${TRANSCRIPT} expected)
if(NOT actual STREQUAL expected)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/actual.txt "${actual}")
    message(FATAL_ERROR "output differs from ${TRANSCRIPT}:\n--- expected\n${expected}\n--- actual\n${actual}")
endif()
