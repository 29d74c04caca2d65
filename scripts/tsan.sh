#!/usr/bin/env bash
# Builds build-tsan/ with ThreadSanitizer and runs the concurrency stress test
# (igd1-mib changing the port-mapping table of a running igd1d while a bus
# client reads, writes and deletes its rows) with every process under it.
# Each process writes its reports to build-tsan/tsan-reports/; any report
# fails the run.
#   scripts/tsan.sh [extra gtest filter, default the stress test]
set -euo pipefail
cd "$(dirname "$0")/.."

filter=${1:-'PortMappingStressTest.*'}
./scripts/install-deps.sh
./scripts/build.sh build-tsan -DIGD1_TSAN=ON -DIGD1_BUILD_BENCH=OFF

reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# GLib and GIO are not built with the sanitizer: their locks and atomics are
# invisible to it, so the memory calls they make (malloc, free, memcpy) would
# be reported as races against each other.  ignore_noninstrumented_modules
# leaves those calls out; every access made by our own code, including code
# GLib calls back (handlers, main-loop sources), is still checked.
export TSAN_OPTIONS="log_path=$reports/tsan halt_on_error=0 ignore_noninstrumented_modules=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
build-tsan/igd1_tests --gtest_filter="$filter" || status=$?

if compgen -G "$reports/tsan.*" >/dev/null; then
  echo "ThreadSanitizer reports (one file per process):"
  for f in "$reports"/tsan.*; do
    echo "=== $f"
    cat "$f"
  done
  grep -h "^SUMMARY" "$reports"/tsan.* | sort | uniq -c
  exit 1
fi
exit "$status"
