# The SQLite schema of a new installation is compiled in from sql/sqlite.sql, so the script
# that is shipped and the one the server runs cannot differ.
set(_tavo_sqlite_schema_file ${CMAKE_CURRENT_LIST_DIR}/../sql/sqlite.sql)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_tavo_sqlite_schema_file})
file(READ ${_tavo_sqlite_schema_file} TAVO_SQLITE_SCHEMA)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/database/SqliteSchema.inc
     CONTENT "R\"tavosql(@TAVO_SQLITE_SCHEMA@)tavosql\"\n" @ONLY)
