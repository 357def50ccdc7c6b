# The PostgreSQL cases of tests_admin run on the tests' PostgreSQL server.
tavo_require_postgresql(admin)
