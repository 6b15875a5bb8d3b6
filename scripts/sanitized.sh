#!/usr/bin/env bash
# Runs a command with the sanitizer runtimes preloaded (the interpreter is not instrumented) and the
# sanitized build on the import path. Any sanitizer report makes the command fail.
set -euo pipefail
cd "$(dirname "$0")/.."
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
export KIVO_PYTHON_DIR="$PWD/build-asan/python"
export PYTHONPATH="$KIVO_PYTHON_DIR${PYTHONPATH:+:$PYTHONPATH}"
# Two frames per allocation stack: the suppressions name the library that called the allocator. For a
# deeper stack while chasing a report, run with ASAN_OPTIONS=malloc_context_size=30 and no suppressions.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:verify_asan_link_order=0:malloc_context_size=2"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$@"
