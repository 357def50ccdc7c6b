# The PostgreSQL cases of tests_database share one server, started before them and stopped
# after them, also when they fail (a CTest fixture). The discovered test names are only known
# when CTest runs, so the fixture is attached by a file CTest includes after the test list.
set(_tavo_pg_state ${CMAKE_CURRENT_BINARY_DIR}/tavo-pg.state)
set(_tavo_pg_script ${PROJECT_SOURCE_DIR}/tests/support/pg_server.sh)
add_test(NAME database_postgresql_start COMMAND ${_tavo_pg_script} start ${_tavo_pg_state})
add_test(NAME database_postgresql_stop COMMAND ${_tavo_pg_script} stop ${_tavo_pg_state})
set_tests_properties(database_postgresql_start PROPERTIES FIXTURES_SETUP tavo_postgresql TIMEOUT 180)
set_tests_properties(database_postgresql_stop PROPERTIES FIXTURES_CLEANUP tavo_postgresql TIMEOUT 180)
set(_tavo_pg_include ${CMAKE_CURRENT_BINARY_DIR}/tests_database_postgresql.cmake)
file(WRITE ${_tavo_pg_include}
"foreach(_t IN LISTS tests_database_TESTS)
  if(_t MATCHES \"PostgreSQL\")
    set_tests_properties(\"\${_t}\" PROPERTIES FIXTURES_REQUIRED tavo_postgresql
                         ENVIRONMENT \"TAVO_PG_STATE=${_tavo_pg_state}\")
  endif()
endforeach()
")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_tavo_pg_include})
