# The outbox cases run on SQLite and on the tests' PostgreSQL server.
tavo_require_postgresql(sms)
