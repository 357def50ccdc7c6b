# The PostgreSQL server of the tests is a CTest fixture: started before the first case that
# needs it, stopped after the last, also when they fail (tests/database/build.cmake adds the two
# steps). tavo_require_postgresql(area) attaches it to the cases of tests_<area> whose names
# contain "PostgreSQL". Discovered test names are only known when CTest runs, so the properties
# are set by a file CTest includes after the test list.
set(TAVO_PG_STATE ${CMAKE_CURRENT_BINARY_DIR}/tavo-pg.state)

function(tavo_require_postgresql area)
  set(_include ${CMAKE_CURRENT_BINARY_DIR}/tests_${area}_postgresql.cmake)
  file(WRITE ${_include}
"foreach(_t IN LISTS tests_${area}_TESTS)
  if(_t MATCHES \"PostgreSQL\")
    set_tests_properties(\"\${_t}\" PROPERTIES FIXTURES_REQUIRED tavo_postgresql
                         ENVIRONMENT \"TAVO_PG_STATE=${TAVO_PG_STATE}\")
  endif()
endforeach()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_include})
endfunction()
