# The known answers in kat_expected.txt must still be what the independent script computes, and
# the committed pi table what its generator computes.
find_program(TAVO_PYTHON3 python3 REQUIRED)
add_test(NAME cipher_kat_script
  COMMAND ${CMAKE_COMMAND} -DPYTHON=${TAVO_PYTHON3}
    -DSCRIPT=${PROJECT_SOURCE_DIR}/tests/cipher/cipher_kat.py
    -DEXPECTED=${PROJECT_SOURCE_DIR}/tests/cipher/kat_expected.txt
    -DOUT=${CMAKE_CURRENT_BINARY_DIR}/cipher_kat.out
    -P ${PROJECT_SOURCE_DIR}/tests/cipher/compare_output.cmake)
add_test(NAME cipher_pi_table_regenerated
  COMMAND ${CMAKE_COMMAND} -DPYTHON=${TAVO_PYTHON3}
    -DSCRIPT=${PROJECT_SOURCE_DIR}/sms/gen_blowfish_pi.py
    -DEXPECTED=${PROJECT_SOURCE_DIR}/sms/BlowfishPi.h
    -DOUT=${CMAKE_CURRENT_BINARY_DIR}/BlowfishPi.h.out
    -P ${PROJECT_SOURCE_DIR}/tests/cipher/compare_output.cmake)

include(${PROJECT_SOURCE_DIR}/tests/support/fuzz/fuzz.cmake)
tavo_add_fuzz(fuzz_decrypt_string 20
  SOURCES ${PROJECT_SOURCE_DIR}/tests/cipher/fuzz_decrypt.cpp
    ${PROJECT_SOURCE_DIR}/sms/LbClass.cpp ${PROJECT_SOURCE_DIR}/sms/LbCipher.cpp
    ${PROJECT_SOURCE_DIR}/sms/LbBase64.cpp ${PROJECT_SOURCE_DIR}/sms/ServerKey.cpp
  SEEDS $<TARGET_FILE:fuzz_seeds> decrypt)
