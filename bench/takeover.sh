#!/bin/sh
# Takeover of a standby pair, measured with the real executables on a PostgreSQL server of the
# test's own (tests/failover): ROUNDS kill -9 rounds (from the kill to the first call the other
# server acknowledges through the floating address) and ROUNDS starts of both servers at once
# (from the start to the first 200 of /health). Prints each round and the median and worst.
#   bench/takeover.sh [BUILD_DIR]      (default build-bench; ROUNDS=20)
set -e
BUILD=${1:-build-bench}
ROUNDS=${ROUNDS:-20}
TESTS="$BUILD/tests/tests_failover"
[ -x "$TESTS" ] || { echo "no $TESTS: build with -DTAVO_BUILD_TESTS=ON first" >&2; exit 2; }
TAVO_TAKEOVER_ROUNDS=$ROUNDS "$TESTS" --gtest_filter='FailoverPostgreSQL.KilledServer*' | grep -E 'takeover|OK|FAILED'
TAVO_START_ROUNDS=$ROUNDS "$TESTS" --gtest_filter='FailoverPostgreSQL.BothStarted*' | grep -E 'both started|OK|FAILED'
