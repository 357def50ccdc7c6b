# The operator client: its units link its library; its end-to-end tests run the executable.
target_link_libraries(tests_cli PRIVATE tavo_cli_core)
add_dependencies(tests_cli tavo-cli)
target_compile_definitions(tests_cli PRIVATE TAVO_CLI_EXE="$<TARGET_FILE:tavo-cli>")
