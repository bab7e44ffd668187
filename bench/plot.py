#!/usr/bin/env python3
"""Plots throughput and p99 latency against the number of held connections
from the JSON that morlune_bench_scale writes (--json=FILE), and prints the
figures of the latency, one-shot and scale runs as Markdown tables, for
docs/performance.md.

    plot.py RESULTS_DIR OUTPUT_PNG

RESULTS_DIR holds scale.json, and latency.json, oneshot.json and
oneshot-sim.json where they were run.
"""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def load(directory, file, key):
    path = os.path.join(directory, file + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)[key]


def latency_table(rows):
    print("| reply bytes | IPComm median / p99 µs | plain median / p99 µs | ratio median / p99 | failures |")
    print("|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r['reply']} | {r['lib_median_us']:.2f} / {r['lib_p99_us']:.2f} | "
              f"{r['plain_median_us']:.2f} / {r['plain_p99_us']:.2f} | "
              f"{r['ratio_median']:.3f} / {r['ratio_p99']:.3f} | {r['failures']} |")
    print()


def oneshot_table(rows):
    print("| call | calls | fixed pauses ms | library median / max ms | plain median / max ms "
          "| library − plain ms | failures |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        lib, plain = r["lib_overhead_median_ms"], r["plain_overhead_median_ms"]
        print(f"| {r['call']} | {r['calls']} | {r['pauses_ms']:.0f} | {lib:.3f} / {r['lib_overhead_max_ms']:.3f} | "
              f"{plain:.3f} / {r['plain_overhead_max_ms']:.3f} | {lib - plain:.3f} | {r['failures']} |")
    print()


def main(directory, target):
    for file, key, table in (("latency", "latency", latency_table), ("oneshot", "oneshot", oneshot_table),
                             ("oneshot-sim", "oneshot", oneshot_table)):
        rows = load(directory, file, key)
        if rows:
            print(f"{file}:\n")
            table(rows)
    rows = load(directory, "scale", "scale")
    with open(os.path.join(directory, "scale.json")) as f:
        peer = json.load(f).get("peer", "own")
    clients = sorted({r["client"] for r in rows}, key=lambda c: c != "IPComm")
    styles = {"IPComm": dict(marker="o", color="tab:blue"),
              "plain": dict(marker="s", color="tab:gray", linestyle="--")}

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    for client in clients:
        mine = sorted((r for r in rows if r["client"] == client), key=lambda r: r["n"])
        n = [r["n"] for r in mine]
        label = "IPComm (library)" if client == "IPComm" else "plain POSIX calls"
        style = styles.get(client, {})
        left.plot(n, [r["throughput"] for r in mine], label=label, **style)
        right.plot(n, [r["p99_us"] / 1000.0 for r in mine], label=label, **style)
    ns = sorted({r["n"] for r in rows})
    for axis in (left, right):
        axis.set_xscale("log")
        axis.set_xticks(ns)
        axis.set_xticklabels([str(n) for n in ns])
        axis.minorticks_off()
        axis.set_xlabel("held connections N (one host thread each)")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    left.set_ylabel("exchanges per second, all connections")
    left.set_title("Throughput")
    left.set_ylim(bottom=0)
    right.set_yscale("log")
    right.set_ylabel("p99 round trip, ms")
    right.set_title("p99 latency")
    served = "the device emulator" if peer == "sim" else "the benchmark's own peer"
    fig.suptitle(f"5-byte read command, 8-byte reply + checksum, served by {served}; "
                 "loopback, 2 cores shared by host and peer")
    fig.tight_layout()
    fig.savefig(target, dpi=110)

    print("| client | N | exchanges/s | p50 ms | p99 ms | failures | processor ms per s, all silent |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in sorted(rows, key=lambda r: (r["n"], r["client"] != "IPComm")):
        print(f"| {r['client']} | {r['n']} | {r['throughput']:.0f} | {r['p50_us'] / 1000:.3f} | "
              f"{r['p99_us'] / 1000:.3f} | {r['failures']} | {r['silent_cpu_ms_per_s']:.2f} |")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
