include(${PROJECT_SOURCE_DIR}/tests/support/fuzz/fuzz.cmake)

tavo_add_fuzz(fuzz_version_reader 20
  SOURCES ${PROJECT_SOURCE_DIR}/tests/versioninfo/fuzz_version.cpp
    ${PROJECT_SOURCE_DIR}/common/CEVersionInfo.cpp ${PROJECT_SOURCE_DIR}/common/ExeImage.cpp
    ${PROJECT_SOURCE_DIR}/common/VersionRecord.cpp ${PROJECT_SOURCE_DIR}/common/Win1252.cpp
  SEEDS $<TARGET_FILE:fuzz_seeds> version)
