#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them all: the pure rules, IPComm
# latency against plain POSIX calls, the one-shot overhead, N held
# connections, the memory check, and user-space instruction counts per
# exchange. Everything talks only to 127.0.0.0/8 and stops by itself.
#
#   bash scripts/bench.sh            # results in build/bench/bench-results/
#   BUILD_DIR=build/x bash scripts/bench.sh
#
# Writes docs/performance-scale.png from the scale run. Timing figures move
# with whatever else the machine runs: note the load printed first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh libbenchmark-dev python3-matplotlib valgrind

build=${BUILD_DIR:-build/bench}
out=$build/bench-results
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DMORLUNE_BUILD_BENCH=ON -DMORLUNE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target morlune_bench_micro morlune_bench_latency \
  morlune_bench_oneshot morlune_bench_scale morlune_memory_check
mkdir -p "$out"
bin=$build/bench

{
  echo "date: $(date -u +%FT%TZ)"
  echo "kernel: $(uname -sr), cores: $(nproc)"
  echo "load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$out/conditions.txt"

echo; echo "== pure rules"
"$bin/morlune_bench_micro" --benchmark_out="$out/micro.json" --benchmark_out_format=json | tee "$out/micro.txt"

echo; echo "== IPComm latency"
"$bin/morlune_bench_latency" --rounds=100 --per-round=200 --json="$out/latency.json" | tee "$out/latency.txt"

echo; echo "== one-shot overhead"
"$bin/morlune_bench_oneshot" --json="$out/oneshot.json" | tee "$out/oneshot.txt"
# The same against the project's device emulator, where the tools are built.
if "$bin/morlune_bench_oneshot" --peer=sim --json="$out/oneshot-sim.json" >"$out/oneshot-sim.txt" 2>&1; then
  cat "$out/oneshot-sim.txt"
else
  echo "(no emulator run: $(tail -1 "$out/oneshot-sim.txt"))"; rm -f "$out/oneshot-sim.json"
fi

echo; echo "== held connections"
"$bin/morlune_bench_scale" --n=1,10,100,1000,4000 --millis=2000 --repeat=3 --json="$out/scale.json" | tee "$out/scale.txt"

echo; echo "== memory"
"$bin/morlune_memory_check" | tee "$out/memory.txt"

# Instructions are steady where wall time is not: user-space instructions per
# exchange, IPComm against the plain exchange, over the latency program's
# calls (3 reply sizes x (200 warm-up + rounds x per-round)). Symbols are bound
# at load (LD_BIND_NOW) so that no count includes the loader binding a symbol
# on first use, which the library and the plain twin would pay unevenly.
if command -v valgrind >/dev/null; then
  echo; echo "== user-space instructions per exchange (callgrind)"
  calls=$((3 * (200 + 2 * 20)))
  for fn in IPComm 'morlune::bench::plainExchange*'; do
    total=$(LD_BIND_NOW=1 valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$fn" \
      "$bin/morlune_bench_latency" --rounds=2 --per-round=20 2>&1 >/dev/null | sed -n 's/.*Collected : //p')
    printf '%-34s %8d instructions per exchange\n' "$fn" $((total / calls))
  done | tee "$out/instructions.txt"
  # One-shot transactions: the quick run without warm-up makes each library
  # call and its plain twin twice (read: 16 and 4000 bytes; write: 10 and 100;
  # list: one entry and a bitmap).
  for pair in IPGetData:plainRead IPSendData:plainWrite IPsendBlack:plainList; do
    for fn in "${pair%%:*}" "*${pair##*:}*"; do
      total=$(LD_BIND_NOW=1 valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$fn" \
        "$bin/morlune_bench_oneshot" --quick=1 --warm-up=0 2>&1 >/dev/null | sed -n 's/.*Collected : //p')
      printf '%-34s %8d instructions per call\n' "$fn" $((total / 2))
    done
  done | tee -a "$out/instructions.txt"
fi

echo "load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$out/conditions.txt"

python=python3
$python -c 'import matplotlib' 2>/dev/null || python=/usr/bin/python3
$python bench/plot.py "$out" docs/performance-scale.png | tee "$out/tables.md"
echo "results: $out; plot: docs/performance-scale.png"
