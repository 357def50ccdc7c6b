# The PostgreSQL cases of tests_database, and of every suite that asks for it, share one
# server, started before them and stopped after them, also when they fail.
set(_tavo_pg_script ${PROJECT_SOURCE_DIR}/tests/support/pg_server.sh)
add_test(NAME database_postgresql_start COMMAND ${_tavo_pg_script} start ${TAVO_PG_STATE})
add_test(NAME database_postgresql_stop COMMAND ${_tavo_pg_script} stop ${TAVO_PG_STATE})
set_tests_properties(database_postgresql_start PROPERTIES FIXTURES_SETUP tavo_postgresql TIMEOUT 180)
set_tests_properties(database_postgresql_stop PROPERTIES FIXTURES_CLEANUP tavo_postgresql TIMEOUT 180)
tavo_require_postgresql(database)
