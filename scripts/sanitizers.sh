#!/usr/bin/env bash
# Builds and runs the whole Linux suite under AddressSanitizer with
# UndefinedBehaviorSanitizer (build/asan) and under ThreadSanitizer
# (build/tsan), then a short run of each libFuzzer target (build/fuzz, clang).
#
#   bash scripts/sanitizers.sh              # asan, tsan and fuzz
#   bash scripts/sanitizers.sh asan fuzz    # only those
#
# Every sanitizer finding stops the test that made it (-fno-sanitize-recover,
# halt_on_error), so a green run means none was found.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=("$@")
((${#runs[@]})) || runs=(asan tsan fuzz)
if [[ " ${runs[*]} " == *" fuzz "* ]]; then
  bash scripts/deps.sh clang-14 libclang-rt-14-dev
else
  bash scripts/deps.sh
fi

for preset in "${runs[@]}"; do
  case "$preset" in
    asan|tsan) ;;
    fuzz)
      if ! command -v clang++-14 >/dev/null; then
        echo "sanitizers.sh: clang++-14 not found, fuzz targets skipped (apt-get install clang-14 libclang-rt-14-dev)" >&2
        continue
      fi ;;
    *) echo "sanitizers.sh: unknown preset '$preset' (asan, tsan, fuzz)" >&2; exit 2 ;;
  esac
  echo "=== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
