#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: the stand-in SDK's C++ tests, the Python tests (those
# of allocation limits once more under an address-space limit), the Python tests again against a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz target of the stand-in's parsers
# for a short while (with its regression inputs).
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
step() {
  local name="$1"; shift
  local start=$SECONDS
  echo "== $name"
  if "$@"; then echo "== $name: passed ($((SECONDS - start)) s)"; else echo "== $name: FAILED ($((SECONDS - start)) s)"; status=1; fi
}

step "build" scripts/setup.sh build
[ $status -eq 0 ] || exit 1
step "C++ tests" ctest --test-dir build --output-on-failure
step "Python tests" env KIVO_PYTHON_DIR="$PWD/build/python" /usr/bin/python3 -m pytest tests -q -p no:cacheprovider
# The tests of sizes beyond what the process can be given, once more under an address-space limit of
# 6 GiB, where a failed allocation that ended the process would show (the normal build: the
# sanitizers reserve more address space than any such limit).
step "Python tests under an address-space limit" prlimit --as=$((6 << 30)) env KIVO_PYTHON_DIR="$PWD/build/python" \
  /usr/bin/python3 -m pytest tests -q -p no:cacheprovider -m allocation
step "sanitizer build" scripts/setup.sh build-asan -DKIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
if [ -d build-asan/python ]; then
  step "C++ tests under sanitizers" ctest --test-dir build-asan --output-on-failure
  step "Python tests under sanitizers" scripts/sanitized.sh /usr/bin/python3 -m pytest tests -q -p no:cacheprovider
fi
step "fuzz targets" scripts/fuzz.sh --ci 12
exit $status
