# The SMS tests run a test gateway (python3, standard library only) and a real tinyproxy.
find_program(TAVO_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(TAVO_PYTHON3 python3)
find_program(TAVO_TINYPROXY tinyproxy PATHS /usr/bin /usr/sbin NO_DEFAULT_PATH)
find_program(TAVO_TINYPROXY tinyproxy)
if(TARGET tests_sms)
  target_compile_definitions(tests_sms PRIVATE
    TAVO_PYTHON3="${TAVO_PYTHON3}" TAVO_TINYPROXY="${TAVO_TINYPROXY}")
endif()
