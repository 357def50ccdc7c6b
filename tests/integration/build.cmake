# The SMS integration case reuses the SMS tests' gateway (python3, standard library only).
find_program(TAVO_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(TAVO_PYTHON3 python3)
find_program(TAVO_TINYPROXY tinyproxy PATHS /usr/bin /usr/sbin NO_DEFAULT_PATH)
find_program(TAVO_TINYPROXY tinyproxy)
if(TARGET tests_integration)
  target_compile_definitions(tests_integration PRIVATE
    TAVO_PYTHON3="${TAVO_PYTHON3}" TAVO_TINYPROXY="${TAVO_TINYPROXY}")
endif()
