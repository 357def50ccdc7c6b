# Runs PYTHON SCRIPT into OUT and fails unless OUT equals EXPECTED byte for byte.
execute_process(COMMAND ${PYTHON} ${SCRIPT} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${EXPECTED} RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} output ${OUT} differs from ${EXPECTED}")
endif()
