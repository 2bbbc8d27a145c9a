#!/usr/bin/env python3
"""Collects the benchmarks' comparison lines ("vs-peer: NAME | ours_ms=X | peer=P | peer_ms=Y | speedup=R")
from a benchmark log into a Markdown table of ratios (peers.md) and, when matplotlib is installed, a bar
chart of the speedups (peers.png). Lines "-- NAME" in the log name the benchmark program that follows.

usage: peer_table.py BENCH_LOG OUT_DIR [GPU_DESCRIPTION]"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LINE = re.compile(
    r"^vs-peer: (?P<name>.+?) \| ours_ms=(?P<ours>[-+.\deE]+|nan|inf) \| peer=(?P<peer>.+?) \| "
    r"peer_ms=(?P<peer_ms>[-+.\deE]+|nan|inf) \| speedup=(?P<speedup>[-+.\deE]+|nan|inf)\s*$"
)


def parse(log: str) -> list[dict]:
    rows, program = [], ""
    for line in log.splitlines():
        if line.startswith("-- "):
            program = line[3:].strip()
        m = LINE.match(line.strip())
        if m:
            rows.append(dict(m.groupdict(), program=program))
    return rows


def table(rows: list[dict], gpu: str) -> str:
    out = [f"GPU: {gpu}" if gpu else "GPU: (not recorded)", "",
           "| benchmark | operation | ours (ms) | peer | peer (ms) | speedup (peer / ours) |",
           "|---|---|---:|---|---:|---:|"]
    for r in rows:
        out.append(f"| {r['program']} | {r['name']} | {float(r['ours']):.4f} | {r['peer']} | "
                   f"{float(r['peer_ms']):.4f} | {float(r['speedup']):.2f} |")
    if not rows:
        out.append("| (no comparison lines in the log) | | | | | |")
    return "\n".join(out) + "\n"


def plot(rows: list[dict], gpu: str, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    names = [f"{r['name']} vs {r['peer']}" for r in rows]
    values = [float(r["speedup"]) for r in rows]
    fig, ax = plt.subplots(figsize=(9, 0.35 * len(rows) + 1.5))
    ax.barh(range(len(rows)), values, color=["tab:green" if v >= 1 else "tab:red" for v in values])
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_yticks(range(len(rows)), names, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("speedup over the peer (peer time / our time; right of 1 is faster)")
    ax.set_title(f"libvyr against peers measured in the same run{' on ' + gpu if gpu else ''}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    return True


def main() -> int:
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    rows = parse(Path(sys.argv[1]).read_text(errors="replace"))
    out = Path(sys.argv[2])
    gpu = sys.argv[3] if len(sys.argv) > 3 else ""
    (out / "peers.md").write_text(table(rows, gpu))
    drew = bool(rows) and plot(rows, gpu, out / "peers.png")
    print(f"peer table: {len(rows)} comparisons in {out / 'peers.md'}"
          + ("" if drew else " (no plot: matplotlib missing or nothing to plot)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
