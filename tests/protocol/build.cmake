include(${PROJECT_SOURCE_DIR}/tests/support/fuzz/fuzz.cmake)
include(ExternalProject)

# The fuzz target drives the whole service module, so the server library is built a second
# time with clang and the fuzzer's coverage instrumentation, in a build directory of its own.
find_program(TAVO_CLANG NAMES clang clang-14)
if(TAVO_CLANGXX AND TAVO_CLANG)
  set(_fuzzlib ${CMAKE_CURRENT_BINARY_DIR}/fuzz-lib)
  set(_fuzzflags "-g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined")
  ExternalProject_Add(tavo_fuzz_lib
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${_fuzzlib}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Debug -DTAVO_BUILD_TESTS=OFF
      -DCMAKE_C_COMPILER=${TAVO_CLANG} -DCMAKE_CXX_COMPILER=${TAVO_CLANGXX}
      -DCMAKE_C_FLAGS=${_fuzzflags} -DCMAKE_CXX_FLAGS=${_fuzzflags}
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined
      -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
      -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${_fuzzlib} --target tavo
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${_fuzzlib}/libtavo.a)
  pkg_check_modules(_fuzzdeps REQUIRED libsystemd odbc libmicrohttpd liburing)
  tavo_add_fuzz(fuzz_messages 20
    SOURCES ${PROJECT_SOURCE_DIR}/tests/protocol/fuzz_messages.cpp
    ARGS -I${PROJECT_SOURCE_DIR}/tests/support -DASIO_STANDALONE -DASIO_NO_DEPRECATED
      -DTAVO_VERSION="${PROJECT_VERSION}" ${_fuzzlib}/libtavo.a
      -Wl,--undefined=tavo_version_record -lsqlite3 -lcurl -lssl -lcrypto ${_fuzzdeps_LDFLAGS}
      -pthread
    DEPENDS tavo_fuzz_lib ${_fuzzlib}/libtavo.a
    SEEDS $<TARGET_FILE:fuzz_seeds> messages
    # Inputs up to the size where a quadratic interpreter was slow; one slow input fails.
    RUN_FLAGS -max_len=65536 -timeout=5)
else()
  tavo_add_fuzz(fuzz_messages 20)
endif()
