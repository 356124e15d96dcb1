"""Times two builds of the module against each other in one process.

Usage: python bench/compare_builds.py BASE.so OTHER.so [--pairs N] [--only NAME...]

Both .so files are loaded side by side (each under the module's own name,
neither put in sys.modules) and called in alternation, batch by batch, on the
bench payloads (bench/payloads.py). Absolute times on a shared machine drift
by half from run to run; the ratio of two batches taken back to back holds to
a few percent, so each payload reports the median of OTHER/BASE over its
pairs. Every output of the two builds is checked to be byte-identical.
"""

import argparse
import importlib.util
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import payloads  # noqa: E402


def load(path):
    spec = importlib.util.spec_from_file_location("tessik_codec", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cases():
    yield "generated", payloads.generate()
    yield from ((name, data) for name, data, _ in payloads.kinds())
    yield from ((name, data) for name, data, *_ in payloads.shapes())
    yield from ((name, data) for name, data, _ in payloads.realworld() if data)
    yield from ((name, data) for name, data, _ in payloads.small_calls())


def batch(fn, data, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn(data)
    return (time.perf_counter_ns() - start) / calls


def compare(base, other, data, pairs, target_ns):
    # A batch lasts about target_ns, so timer and loop costs stay small.
    first = min(batch(base, data, 1) for _ in range(3))
    calls = max(1, int(target_ns / max(first, 1)))
    ratios, base_ns, other_ns = [], [], []
    for i in range(pairs):
        # The order alternates, so neither build always runs on the other's warm caches.
        if i % 2:
            b = batch(base, data, calls)
            o = batch(other, data, calls)
        else:
            o = batch(other, data, calls)
            b = batch(base, data, calls)
        ratios.append(o / b)
        base_ns.append(b)
        other_ns.append(o)
    return statistics.median(ratios), statistics.median(base_ns), statistics.median(other_ns), calls


def fmt_ns(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.0f} ns"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("base", help="the build measured against (e.g. build/py3.15/tessik_codec....so)")
    ap.add_argument("other", help="the build compared with it (e.g. the module from an installed wheel)")
    ap.add_argument("--pairs", type=int, default=41, help="pairs of batches per payload")
    ap.add_argument("--batch-ms", type=float, default=20.0, help="length of one batch")
    ap.add_argument("--only", nargs="*", help="payload names to run (default: all)")
    args = ap.parse_args()

    base, other = load(args.base), load(args.other)
    if base.columnarize is other.columnarize:
        sys.exit("compare_builds: both paths gave one module")
    print(f"base:  {args.base}\nother: {args.other}\n{sys.version.split()[0]}, {args.pairs} pairs per payload")
    print(f"{'payload':36} {'bytes':>11} {'calls':>6} {'base':>10} {'other':>10} {'other/base':>10}")
    worst = 0.0
    for name, data in cases():
        if args.only and name not in args.only:
            continue
        if base.columnarize(data) != other.columnarize(data):
            sys.exit(f"compare_builds: the two builds' outputs differ on {name}")
        ratio, b, o, calls = compare(base.columnarize, other.columnarize, data, args.pairs,
                                     args.batch_ms * 1e6)
        worst = max(worst, ratio)
        print(f"{name:36} {len(data):>11,} {calls:>6} {fmt_ns(b):>10} {fmt_ns(o):>10} {ratio:>10.3f}",
              flush=True)
    print(f"highest other/base: {worst:.3f}")


if __name__ == "__main__":
    main()
