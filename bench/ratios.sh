#!/usr/bin/env bash
# The bus comparisons of igd1_bench over several processes.  Inside one
# process the repetitions of a ratio agree to 1-2 %, but from one process to
# the next it moves by several percent (where the scheduler puts the loop,
# the bus daemon and the client for that run), so one process is not enough
# to judge a target.  This runs the benchmarks in `processes` fresh processes
# and prints, per benchmark, the median of the per-process medians, their
# range, and the median of the loop thread's extra CPU per call (igd1 minus
# the bare service).  Run it on a quiet machine.
#
# Usage: bench/ratios.sh [build dir] [processes] [benchmark filter]
set -euo pipefail
build=${1:-build}
processes=${2:-5}
filter=${3:-'BM_(Get_MinAddress|Set_LeaseTime|SetMulti_5)'}
bench="$build/igd1_bench"
[ -x "$bench" ] || { echo "no $bench: build first" >&2; exit 1; }

samples=$(mktemp)
trap 'rm -f "$samples"' EXIT
for _ in $(seq "$processes"); do
  "$bench" --benchmark_filter="$filter" --benchmark_min_time=0.3 --benchmark_repetitions=3 \
      --benchmark_report_aggregates_only=true 2>/dev/null | grep '_median ' >> "$samples" || true
done
[ -s "$samples" ] || { echo "no benchmark matched $filter" >&2; exit 1; }

# One line per process and benchmark: name, ratio, extra loop CPU in µs.
rows=$(awk '
# Google Benchmark prints large counters with a suffix (6.8k, 1.2M).
function number(text) {
  if (text ~ /k$/) return substr(text, 1, length(text) - 1) * 1000
  if (text ~ /M$/) return substr(text, 1, length(text) - 1) * 1000000
  return text + 0
}
{
  name = $1; sub(/\/real_time_median$/, "", name)
  ratio = ""; igd1 = ""; bare = ""
  for (i = 2; i <= NF; ++i) {
    split($i, kv, "=")
    if (kv[1] == "ratio") ratio = kv[2]
    else if (kv[1] == "igd1_cpu_us") igd1 = number(kv[2])
    else if (kv[1] == "bare_cpu_us") bare = number(kv[2])
  }
  if (ratio != "") printf "%s %s %.1f\n", name, ratio, igd1 - bare
}' "$samples")

# The median of column `col` per name, with the smallest and largest value.
medians() {
  sort -k1,1 -k"$1","$1"g | awk -v col="$1" '
    function flush() {
      if (n == 0) return
      m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      printf "%s %s %s %s\n", name, m, v[1], v[n]
    }
    $1 != name { flush(); name = $1; n = 0 }
    { v[++n] = $col }
    END { flush() }'
}

printf '%-34s %8s %17s %16s\n' benchmark ratio range 'extra loop CPU'
join <(echo "$rows" | medians 2) <(echo "$rows" | medians 3) |
  awk '{ printf "%-34s %8.3f   [%.3f..%.3f] %12.1f us\n", $1, $2, $3, $4, $5 }'
echo "($processes processes of 3 repetitions each; ratio = igd1 / bare GDBus service, per call)"
