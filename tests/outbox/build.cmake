# The outbox through the real server, on SQLite and on the tests' PostgreSQL server.
tavo_require_postgresql(outbox)
