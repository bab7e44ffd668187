#!/usr/bin/env bash
# Installs what is missing, builds the library and the client, and runs
# `morlune demo`: an emulated device on 127.0.0.77 and the five host jobs
# against it. Arguments go to the demo (for example --address 127.0.0.78).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

cmake --preset default >/dev/null
cmake --build --preset default --target morlune_cli
exec build/default/tools/cli/morlune demo "$@"
