#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./test.sh              build/ with the tests
#   ./test.sh --werror     the same with warnings as errors
#   ./test.sh --sanitize   a separate build-asan/ with AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")"

dir=build
opts=()
for arg in "$@"; do
  case "$arg" in
    --werror) opts+=(-DIGD1_WERROR=ON) ;;
    --sanitize) dir=build-asan; opts+=(-DIGD1_SANITIZE=ON -DIGD1_BUILD_BENCH=OFF) ;;
    *) echo "usage: $0 [--werror] [--sanitize]" >&2; exit 2 ;;
  esac
done

./scripts/install-deps.sh
./scripts/build.sh "$dir" "${opts[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The tests mostly wait on the bus and on timers, so a few more run at once
# than there are cores.
ctest --test-dir "$dir" --output-on-failure -j"${IGD1_TEST_JOBS:-$(( $(nproc) + 1 ))}"
