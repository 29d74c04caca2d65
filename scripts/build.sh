#!/usr/bin/env bash
# Configures and builds one build tree.
#   build.sh BUILD_DIR [cmake options...] [-- TARGET...]
# Without targets everything is built.
set -euo pipefail
dir=$1; shift
opts=() targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
  opts+=("$1"); shift
done
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "${opts[@]}" >/dev/null
build=(cmake --build "$dir" -j"${IGD1_JOBS:-2}")
[ ${#targets[@]} -gt 0 ] && build+=(--target "${targets[@]}")
"${build[@]}"
