#!/bin/sh
# Runs a libFuzzer target for a bounded time on a fresh corpus.
#   run-fuzz.sh FUZZER CORPUS_DIR SECONDS [SEED_PROGRAM ARGS...]
# SEED_PROGRAM, when given, is run with its ARGS and CORPUS_DIR to write the seed inputs.
# FUZZ_FLAGS, when set, holds further libFuzzer flags; they come last and so take precedence.
set -e
fuzzer=$1 corpus=$2 secs=$3
shift 3
rm -rf "$corpus"
mkdir -p "$corpus"
if [ $# -gt 0 ]; then "$@" "$corpus"; fi
exec "$fuzzer" -max_total_time="$secs" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 $FUZZ_FLAGS "$corpus"
