"""Benchmark payloads: a generated tool result, six generated kinds that
stress one trait each, the real-world files, a tiny one.

Every generated payload is deterministic from its seed (random.Random with an
integer seed and float repr are stable across CPython versions), so every run
of every contender, and tools/record-outputs, reads the same bytes.
"""

import json
import random
from pathlib import Path

REALWORLD = Path(__file__).resolve().parents[1] / "tests" / "data" / "realworld"

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


# ---------------------------------------------------------------------------
# Kinds that stress one trait each. Each takes (rows, seed); KINDS lists them
# with the row counts the bench uses (about 10-20 MB each).

_SITES = ["north-field", "harbour", "ridge", "depot-7", "airport", "valley",
          "Zürich", "São Paulo", "東京", "Reykjavík", "Ελλάδα", "Москва", "😀 lab"]


def double_rows(rows: int, seed: int) -> list[dict]:
    """Rows with seven full-precision double columns (as repr writes random
    floats: 15-17 significant digits, some with exponents) beside an integer
    id, a short string, a text that is sometimes non-ASCII, a boolean and a
    constant unit."""
    rng = random.Random(seed)
    out = []
    for i in range(rows):
        out.append({
            "id": i,
            "sensor": f"s-{rng.randrange(10_000):04d}",
            "site": rng.choice(_SITES),
            "lat": rng.uniform(-90.0, 90.0),
            "lon": rng.uniform(-180.0, 180.0),
            "temperature": rng.uniform(-40.0, 50.0),
            "pressure": rng.uniform(950.0, 1050.0),
            "ratio": rng.random(),
            "noise": rng.random() * 1e-7,   # repr with an e-0N exponent
            "energy": rng.random() * 1e22,  # repr with an e+2N exponent
            "ok": rng.random() < 0.9,
            "unit": "SI",
        })
    return out


def doubles_compact(rows: int = 54_000, seed: int = 1) -> bytes:
    """Kind (a): the double rows, compact, non-ASCII as raw UTF-8."""
    return json.dumps(double_rows(rows, seed), ensure_ascii=False, separators=(",", ":")).encode()


def doubles_dumps(rows: int = 54_000, seed: int = 1) -> bytes:
    """Kind (b): the same rows as json.dumps writes them by default: ", " and
    ": " separators, non-ASCII as \\uXXXX escapes (surrogate pairs above
    U+FFFF)."""
    return json.dumps(double_rows(rows, seed)).encode()


def doubles_indent(rows: int = 54_000, seed: int = 1) -> bytes:
    """Kind (c): the same rows as json.dumps(indent=2) writes them."""
    return json.dumps(double_rows(rows, seed), indent=2).encode()


def small_rows(rows: int = 330_000, seed: int = 2) -> bytes:
    """Kind (d): many small rows of five short fields."""
    rng = random.Random(seed)
    codes = ["ab", "cd", "ef", "x", "yz", "q", "id", "ok"]
    out = []
    for i in range(rows):
        v = rng.randrange(1000)
        out.append(f'{{"i":{i},"c":"{rng.choice(codes)}","n":{rng.randrange(100)},'
                   f'"f":{"true" if v & 1 else "false"},"v":{v / 4!r}}}')
    return ("[" + ",".join(out) + "]").encode()


def wide_rows(rows: int = 3_000, seed: int = 3) -> bytes:
    """Kind (e): wide rows of 120 keys, most holding nested objects and
    arrays; some keys are missing from some rows, some hold the same value in
    every row (constants), one is null in every row."""
    rng = random.Random(seed)
    keys = [f"field_{k:03d}" for k in range(120)]
    out = []
    for i in range(rows):
        row = {}
        for k, key in enumerate(keys):
            shape = k % 6
            if k % 29 == 5:
                row[key] = {"version": 2, "tags": ["stable", "wide"]}  # constant
            elif k == 7:
                row[key] = None
            elif shape == 0:
                row[key] = rng.randrange(-1 << 40, 1 << 40)
            elif shape == 1:
                row[key] = " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(1, 4)))
            elif shape == 2:
                row[key] = {"x": rng.randrange(1000), "y": [rng.randrange(10) for _ in range(3)],
                            "z": {"w": rng.choice(_WORDS), "ok": rng.random() < 0.5}}
            elif shape == 3:
                row[key] = [rng.randrange(100), rng.choice(_WORDS), {"a": rng.randrange(5), "b": None},
                            [rng.random() < 0.5, rng.randrange(-5, 5) / 2]]
            elif shape == 4:
                row[key] = {"items": [{"id": rng.randrange(100), "q": rng.randrange(1, 9)}
                                      for _ in range(rng.randrange(0, 3))],
                            "label": rng.choice(_SITES)}
            else:
                row[key] = [[rng.randrange(10) for _ in range(2)] for _ in range(rng.randrange(1, 3))]
            if k > 10 and k % 29 != 5 and rng.random() < 0.05:
                del row[key]
        out.append(row)
    return json.dumps(out, ensure_ascii=False, separators=(",", ":")).encode()


# Pieces of string-heavy text: plain words, characters that must be escaped,
# non-ASCII in 2, 3 and 4 UTF-8 bytes (4 bytes: a surrogate pair as \u).
_STRING_PIECES = _WORDS + ["line\nbreak", "tab\there", 'quote "it"', "back\\slash", "a/b",
                           "bell\x07", "nul\x00", "\x1f", "é", "ß", "€", "東京", "😀", "𝄞",
                           "Москва", "naïve café"]


def json_string(text: str, ascii_only: bool = False, upper_hex: bool = False,
                escape_solidus: bool = False) -> str:
    """text as a JSON string, escaped in one of the ways senders write it:
    short escapes for quote, backslash, newline and tab, \\u for the other
    control characters, non-ASCII raw or (ascii_only) as \\u with surrogate
    pairs above U+FFFF, hex digits in either case, the solidus as is or as
    \\/."""
    h = "\\u{:04X}" if upper_hex else "\\u{:04x}"
    parts = ['"']
    for ch in text:
        c = ord(ch)
        if ch == '"':
            parts.append('\\"')
        elif ch == "\\":
            parts.append("\\\\")
        elif ch == "\n":
            parts.append("\\n")
        elif ch == "\t":
            parts.append("\\t")
        elif ch == "/" and escape_solidus:
            parts.append("\\/")
        elif c < 0x20:
            parts.append(h.format(c))
        elif c < 0x80 or not ascii_only:
            parts.append(ch)
        elif c < 0x10000:
            parts.append(h.format(c))
        else:
            c -= 0x10000
            parts.append(h.format(0xD800 + (c >> 10)) + h.format(0xDC00 + (c & 0x3FF)))
    parts.append('"')
    return "".join(parts)


# Each piece escaped in each of the eight ways, without the quotes.
_ESCAPED_PIECES = [[json_string(p, bool(m & 1), bool(m & 2), bool(m & 4))[1:-1] for m in range(8)]
                   for p in _STRING_PIECES]


def escaped_strings(rows: int = 14_000, seed: int = 4) -> bytes:
    """Kind (f): string-heavy rows whose texts carry escapes (\\n, \\t, \\",
    \\\\, \\/, \\u for control characters and non-ASCII, surrogate
    pairs), each piece of text escaped in one of several ways."""
    rng = random.Random(seed)
    out = []
    n_pieces = len(_ESCAPED_PIECES)
    for i in range(rows):
        texts = []
        for _ in range(4):
            n = rng.randrange(5, 60)
            texts.append('"' + " ".join(_ESCAPED_PIECES[rng.randrange(n_pieces)][rng.randrange(8)]
                                        for _ in range(n)) + '"')
        out.append(f'{{"id":{i},"title":{texts[0]},"body":{texts[1]},'
                   f'"comment":{texts[2]},"path":{texts[3]},"lang":"{rng.choice(["en", "de", "ja"])}"}}')
    return ("[" + ",".join(out) + "]").encode()


# (name, generator taking (rows, seed), rows, seed, note) of each kind.
KINDS = [
    ("doubles", doubles_compact, 54_000, 1, "(a) 7 full-precision double columns, compact"),
    ("doubles_dumps", doubles_dumps, 54_000, 1, "(b) the same rows as json.dumps writes them"),
    ("doubles_indent", doubles_indent, 54_000, 1, "(c) the same rows, json.dumps indent=2"),
    ("small_rows", small_rows, 330_000, 2, "(d) many rows of five short fields"),
    ("wide_rows", wide_rows, 3_000, 3, "(e) 120 keys per row, nested objects and arrays"),
    ("escaped_strings", escaped_strings, 14_000, 4, "(f) string-heavy, escapes and surrogate pairs"),
]


def sparse_rows(rows: int = 60_000, seed: int = 5) -> bytes:
    """Rows holding 15 of 200 keys each, in their own order: most cells of
    the output are null."""
    rng = random.Random(seed)
    keys = [f"field_{k}" for k in range(200)]
    out = []
    for _ in range(rows):
        out.append("{" + ",".join(f'"{key}":{rng.randrange(1_000_000)}' for key in rng.sample(keys, 15)) + "}")
    return ("[" + ",".join(out) + "]").encode()


def deep_rows(rows: int = 150_000, seed: int = 6) -> bytes:
    """Rows whose one nested value opens and closes twelve objects and arrays
    in about 80 bytes."""
    rng = random.Random(seed)
    out = []
    for i in range(rows):
        n = [rng.randrange(100) for _ in range(4)]
        out.append(f'{{"id":{i},"tree":{{"a":{{"b":{{"c":[{{"d":{{"e":[{n[0]},{{"f":"{rng.choice(_WORDS)}"}},'
                   f'[{n[1]},[{n[2]},[{n[3]}]]]]}}}}]}}}}}}}}')
    return ("[" + ",".join(out) + "]").encode()


# Further kinds, kept apart from KINDS: tools/record-outputs draws its seeded
# cases from KINDS, so a kind added there would shift every recorded case.
MORE_KINDS = [
    ("sparse_rows", sparse_rows, 60_000, 5, "15 of 200 keys per row, each row in its own order"),
    ("deep_rows", deep_rows, 150_000, 6, "a value nested twelve levels deep in each row"),
]


def kinds() -> list[tuple[str, bytes, str]]:
    """(name, payload, note) of each kind at its bench size."""
    return [(name, fn(rows, seed), f"{note}; {rows} rows, seed {seed}")
            for name, fn, rows, seed, note in KINDS + MORE_KINDS]
