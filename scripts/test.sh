#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests each leg in
# turn and stops at the first that fails.
#   Linux       library, tools and every suite (Release)
#   Windows     Morlune.dll checked structurally; the x86_64 build's suites under Wine
#   sanitizers  the Linux suite under ASan+UBSan and under TSan; short fuzz runs
# Pass leg names to run only some of them: bash scripts/test.sh linux windows
set -euo pipefail
cd "$(dirname "$0")/.."

legs=("$@")
((${#legs[@]})) || legs=(linux windows sanitizers)

for leg in "${legs[@]}"; do
  echo "=== leg: $leg"
  case "$leg" in
    linux)
      bash scripts/deps.sh
      cmake --preset default
      cmake --build --preset default
      ctest --preset default ;;
    windows) bash scripts/windows.sh ;;
    sanitizers) bash scripts/sanitizers.sh asan tsan fuzz ;;
    *) echo "test.sh: unknown leg '$leg' (linux, windows, sanitizers)" >&2; exit 2 ;;
  esac
done
