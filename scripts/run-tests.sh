#!/bin/bash
# Runs the whole suite of a sanitizer build: CTest (units, integration, database, fuzz smoke runs).
set -e
BUILD="${1:-build-asan}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
cd "$BUILD"
ctest --output-on-failure --timeout 600 -j "$(nproc)"
