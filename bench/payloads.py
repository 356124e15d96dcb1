"""Benchmark payloads: a generated tool result, the real-world files, a tiny one.

The generated payload is deterministic from its seed, so every run of every
contender reads the same bytes.
"""

import json
import random
from pathlib import Path

REALWORLD = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "realworld"

_WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta",
          "result", "query", "index", "cache", "retry", "timeout", "shard", "ok"]
# Non-ASCII text in one, two, three and four UTF-8 bytes per character.
_NON_ASCII = ["Zürich", "São Paulo", "Kraków", "東京", "Reykjavík", "naïve café",
              "Ωmega", "😀 done", "Ελλάδα", "Москва"]
# Characters that the writer must escape.
_ESCAPES = ['say "hi"', "C:\\temp\\out", "line1\nline2", "tab\tsep", "bell\x07", "cr\r"]
_LEVELS = ["debug", "info", "warn", "error"]
_SOURCES = ["search", "fetch", "sql", "shell"]


def _text(rng: random.Random) -> str:
    parts = [rng.choice(_WORDS) for _ in range(rng.randrange(3, 10))]
    r = rng.random()
    if r < 0.15:
        parts.insert(rng.randrange(len(parts) + 1), rng.choice(_NON_ASCII))
    elif r < 0.25:
        parts.insert(rng.randrange(len(parts) + 1), rng.choice(_ESCAPES))
    return " ".join(parts)


def _dump(value, ascii_escapes: bool = False) -> str:
    return json.dumps(value, ensure_ascii=ascii_escapes, separators=(",", ":"))


def generate(rows: int = 50_000, seed: int = 20240601) -> bytes:
    """A compact "tool result": an array of `rows` objects with mixed keys.

    Keys per row: integers up to 2**40, decimals, timestamp and UUID strings,
    short texts (some non-ASCII, some with escapes, some written with \\u
    escapes in the input), a boolean, a small nested object, a short array,
    two keys equal in every row ("schema", "tool"), one key null in every row
    ("error") and one key present in about a tenth of the rows ("parent").
    """
    rng = random.Random(seed)
    tool = _dump({"name": "search", "version": 3})
    out = []
    for i in range(rows):
        ts = 1_717_200_000_000 + i * 1_500 + rng.randrange(1_000)
        secs, ms = divmod(ts, 1000)
        days, rem = divmod(secs - 1_717_200_000, 86400)
        stamp = f"2024-06-{1 + days % 28:02d}T{rem // 3600:02d}:{rem // 60 % 60:02d}:{rem % 60:02d}.{ms:03d}Z"
        u = rng.getrandbits(128)
        h = f"{u:032x}"
        uid = f"{h[:8]}-{h[8:12]}-4{h[13:16]}-a{h[17:20]}-{h[20:]}"
        # Two decimals and four decimals, read back exactly by every parser.
        amount = rng.randrange(-10_000_000, 10_000_000) / 100
        score = rng.randrange(0, 1_000_000) / 10_000
        text = _text(rng)
        meta = {"source": rng.choice(_SOURCES), "attempt": rng.randrange(1, 4),
                "level": rng.choice(_LEVELS)}
        tags = [rng.choice(_WORDS) for _ in range(rng.randrange(0, 4))]
        if rng.random() < 0.5:
            tags.append(rng.randrange(100))
        fields = [
            f'"id":{i}',
            f'"account":{rng.randrange(1 << 40)}',
            f'"delta":{rng.randrange(-100_000, 100_000)}',
            f'"amount":{amount!r}',
            f'"score":{score!r}',
            f'"created_at":"{stamp}"',
            f'"request_id":"{uid}"',
            # One text in eight arrives with \u escapes, as ASCII-only senders write it.
            f'"message":{_dump(text, ascii_escapes=rng.random() < 0.125)}',
            f'"ok":{"true" if rng.random() < 0.9 else "false"}',
            f'"meta":{_dump(meta)}',
            f'"tags":{_dump(tags)}',
            '"schema":"tool-result/v2"',
            f'"tool":{tool}',
            '"error":null',
        ]
        if rng.random() < 0.1:
            fields.append(f'"parent":{rng.randrange(i + 1)}')
        out.append("{" + ",".join(fields) + "}")
    return ("[" + ",".join(out) + "]").encode()


def tiny() -> bytes:
    """Three rows: per-call overhead dominates."""
    return b'[{"id":1,"name":"a","ok":true},{"id":2,"name":"b","ok":true},{"id":3,"name":"c","ok":true}]'


def realworld() -> list[tuple[str, bytes, str]]:
    """(name, payload, note) per file. A file that is not an array of objects
    is benchmarked on the first array of objects found among its top-level
    members, re-serialised, and the note says so."""
    result = []
    for path in sorted(REALWORLD.glob("*.json")):
        data = path.read_bytes()
        doc = json.loads(data)
        note = ""
        if not (isinstance(doc, list) and all(isinstance(r, dict) for r in doc)):
            inner = None
            if isinstance(doc, dict):
                inner = next((k for k, v in doc.items() if isinstance(v, list) and v
                              and all(isinstance(r, dict) for r in v)), None)
            if inner is None:
                note = "not an array of objects: the module rejects it; skipped"
                result.append((path.stem, b"", note))
                continue
            data = _dump(doc[inner]).encode()
            note = f"top level is an object: its array {inner!r} is used, re-serialised"
        result.append((path.stem, data, note))
    return result
