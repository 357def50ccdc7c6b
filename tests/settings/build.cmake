# The PostgreSQL cases of tests_settings use the server of the database tests' fixture.
set(_tavo_settings_pg_include ${CMAKE_CURRENT_BINARY_DIR}/tests_settings_postgresql.cmake)
file(WRITE ${_tavo_settings_pg_include}
"foreach(_t IN LISTS tests_settings_TESTS)
  if(_t MATCHES \"PostgreSQL\")
    set_tests_properties(\"\${_t}\" PROPERTIES FIXTURES_REQUIRED tavo_postgresql
                         ENVIRONMENT \"TAVO_PG_STATE=${CMAKE_CURRENT_BINARY_DIR}/tavo-pg.state\")
  endif()
endforeach()
")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_tavo_settings_pg_include})
