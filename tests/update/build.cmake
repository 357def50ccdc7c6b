# A program that never answers --version: the update must not put it in place.
add_executable(update_silent_program ${PROJECT_SOURCE_DIR}/tests/update/SilentProgram.cpp)
add_dependencies(tests_update update_silent_program)
target_compile_definitions(tests_update PRIVATE
  TAVO_SILENT_PROGRAM="$<TARGET_FILE:update_silent_program>")
