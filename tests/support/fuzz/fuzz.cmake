# tavo_add_fuzz(NAME SECONDS SOURCES... SEEDS seed-program-and-args...
#               [ARGS compile-and-link-arguments...] [DEPENDS targets...] [RUN_FLAGS libfuzzer-flags...])
# fuzz_seeds (fuzz_seeds.cpp) writes seed inputs made with the project's own code.
# Builds a libFuzzer target with clang++ straight from the given sources (clang is not the
# project's compiler) with ARGS, and adds a CTest test that fuzzes it for SECONDS;
# RUN_FLAGS follow the standard flags of run-fuzz.sh and so take precedence.
find_program(TAVO_CLANGXX NAMES clang++ clang++-14)
if(NOT TARGET fuzz_seeds)
  add_executable(fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/fuzz_seeds.cpp)
  target_link_libraries(fuzz_seeds PRIVATE tavo_testsupport)
endif()
function(tavo_add_fuzz name seconds)
  cmake_parse_arguments(F "" "" "SOURCES;SEEDS;ARGS;DEPENDS;RUN_FLAGS" ${ARGN})
  if(NOT TAVO_CLANGXX)
    add_test(NAME ${name} COMMAND sh -c
      "echo 'clang++ not found: install clang and libclang-rt-14-dev (make test does)' >&2; exit 1")
    return()
  endif()
  set(exe ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${name})
  add_custom_command(OUTPUT ${exe}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
    COMMAND ${TAVO_CLANGXX} -std=c++20 -g -O1 -Wall -Wextra
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
      -I${PROJECT_SOURCE_DIR} -MD -MF ${exe}.d ${F_SOURCES} ${F_ARGS} -o ${exe}
    DEPENDS ${F_SOURCES} ${F_DEPENDS}
    DEPFILE ${exe}.d
    COMMENT "Building fuzz target ${name} with clang"
    VERBATIM)
  add_custom_target(${name}_build ALL DEPENDS ${exe})
  add_test(NAME ${name}
    COMMAND sh ${PROJECT_SOURCE_DIR}/tests/support/fuzz/run-fuzz.sh ${exe}
      ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${name}.corpus ${seconds} ${F_SEEDS})
  string(JOIN " " _flags ${F_RUN_FLAGS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 ENVIRONMENT "FUZZ_FLAGS=${_flags}")
endfunction()
