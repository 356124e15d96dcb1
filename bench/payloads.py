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


# ---------------------------------------------------------------------------
# Shapes: data as services and files hand it over, each at about 10 MB and
# cut to its first rows at about 2, 8 and 32 KB. Kept apart from kinds(),
# whose payloads tools/record-outputs records, so that those stay as they are.

_FIRST_NAMES = ["Ana", "Bo", "Chen", "Dmitri", "Eva", "Farah", "Goran", "Hana", "Ivo", "Jun", "Kemal", "Lena"]
_LAST_NAMES = ["Silva", "Berg", "Wang", "Ivanov", "Novak", "Haddad", "Petrov", "Sato", "Costa", "Kim"]
_CITIES = ["Berlin", "Lyon", "Porto", "Osaka", "Austin", "Leeds", "Gdansk", "Quito", "Pune", "Perth"]
_STREETS = ["Main St", "Oak Ave", "Mill Rd", "Hill Ln", "Park Pl", "Quay St"]
_STATUSES = ["new", "paid", "shipped", "returned", "cancelled"]


def nested_rows(rows: int, seed: int) -> list[dict]:
    """Orders: a user object holding an address object holding a geo object,
    an array of one to four item objects, an array of zero to three tags."""
    rng = random.Random(seed)
    out = []
    for i in range(rows):
        first, last = rng.choice(_FIRST_NAMES), rng.choice(_LAST_NAMES)
        items = [{"sku": f"SKU-{rng.randrange(100_000):05d}", "qty": rng.randrange(1, 10),
                  "price": rng.randrange(99, 50_000) / 100} for _ in range(rng.randrange(1, 5))]
        out.append({
            "id": 100_000 + i,
            "user": {
                "name": f"{first} {last}",
                "email": f"{first.lower()}.{last.lower()}{rng.randrange(100)}@example.com",
                "address": {
                    "street": f"{rng.randrange(1, 1000)} {rng.choice(_STREETS)}",
                    "city": rng.choice(_CITIES),
                    "zip": f"{rng.randrange(100_000):05d}",
                    "geo": {"lat": rng.randrange(-9_000, 9_000) / 100, "lon": rng.randrange(-18_000, 18_000) / 100},
                },
            },
            "items": items,
            "tags": [rng.choice(_WORDS) for _ in range(rng.randrange(0, 4))],
            "status": rng.choice(_STATUSES),
            "paid": rng.random() < 0.7,
        })
    return out


_FLAT_VALUES = {
    "code": ["ab", "cd", "ef", "gh", "x1", "y2", "z3", "k9"],
    "name": ["alpha", "beta", "gamma", "delta", "kappa", "omega"],
    "color": ["red", "blue", "green", "black", "white"],
    "size": ["S", "M", "L", "XL"],
    "city": ["Lyon", "Oslo", "Rome", "Kyiv", "Lima", "Pune"],
    "state": ["on", "off", "idle"],
    "lang": ["en", "de", "fr", "ja", "es"],
}


def flat_string_rows(rows: int, seed: int) -> list[dict]:
    """Rows of eight short strings, as a data file on disk holds them."""
    rng = random.Random(seed)
    return [{"id": f"r{i:06d}", **{key: rng.choice(values) for key, values in _FLAT_VALUES.items()}}
            for i in range(rows)]


# Words in several scripts, written raw: 2, 3 and 4 UTF-8 bytes per character.
_SCRIPT_WORDS = {
    "ja": ["東京", "大阪", "こんにちは", "ありがとう", "日本語", "写真", "天気", "電車", "検索結果"],
    "zh": ["北京", "上海", "你好", "谢谢", "中文", "数据", "结果", "服务器", "用户"],
    "ru": ["Москва", "привет", "спасибо", "данные", "результат", "город", "погода", "запрос"],
    "ar": ["مرحبا", "شكرا", "القاهرة", "بيانات", "نتيجة", "مدينة", "طلب", "خادم"],
    "el": ["Αθήνα", "καλημέρα", "ευχαριστώ", "δεδομένα", "αποτέλεσμα"],
    "fr": ["Zürich", "São Paulo", "Kraków", "naïve", "café", "Ærøskøbing", "señor", "Øresund", "façade",
           "crème brûlée", "Ångström"],
}
_EMOJI = ["😀", "🎉", "🚀", "👍", "🌍", "❤️", "🔥", "✅", "🇯🇵", "👩‍💻"]


def unicode_rows(rows: int, seed: int) -> list[dict]:
    """Rows whose texts are in one of six scripts, with emoji mixed in."""
    rng = random.Random(seed)
    langs = list(_SCRIPT_WORDS)
    out = []
    for i in range(rows):
        lang = rng.choice(langs)
        words = _SCRIPT_WORDS[lang]
        body = [rng.choice(words) for _ in range(rng.randrange(4, 16))]
        for _ in range(rng.randrange(0, 3)):
            body.insert(rng.randrange(len(body) + 1), rng.choice(_EMOJI))
        out.append({
            "id": i,
            "lang": lang,
            "title": " ".join(rng.choice(words) for _ in range(rng.randrange(1, 4))),
            "body": " ".join(body),
            "author": rng.choice(_SCRIPT_WORDS["fr"]) + " " + rng.choice(_LAST_NAMES),
            "reaction": rng.choice(_EMOJI),
        })
    return out


def shuffled_rows(rows: int, seed: int) -> list[dict]:
    """Rows of the same twelve keys, each row in its own order."""
    rng = random.Random(seed)
    out = []
    for i in range(rows):
        first, last = rng.choice(_FIRST_NAMES), rng.choice(_LAST_NAMES)
        values = {
            "id": i,
            "name": f"{first} {last}",
            "email": f"{first.lower()}@example.org",
            "age": rng.randrange(18, 90),
            "score": rng.randrange(0, 10_000) / 100,
            "active": rng.random() < 0.8,
            "city": rng.choice(_CITIES),
            "country": rng.choice(["DE", "FR", "JP", "US", "BR", "IN"]),
            "plan": rng.choice(["free", "pro", "team"]),
            "visits": rng.randrange(1_000_000),
            "balance": rng.randrange(-100_000, 1_000_000) / 100,
            "updated": f"2024-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}",
        }
        order = list(values)
        rng.shuffle(order)
        out.append({key: values[key] for key in order})
    return out


def series_rows(rows: int, seed: int) -> list[dict]:
    """Candles of a price in cents, one a minute: floats of at most two decimals."""
    rng = random.Random(seed)
    price = 10_125
    out = []
    for i in range(rows):
        open_ = price
        price = max(100, price + rng.randrange(-60, 61))
        high = max(open_, price) + rng.randrange(0, 40)
        low = max(1, min(open_, price) - rng.randrange(0, 40))
        out.append({"t": 1_717_200_000 + 60 * i, "open": open_ / 100, "high": high / 100, "low": low / 100,
                    "close": price / 100, "volume": rng.randrange(100, 500_000)})
    return out


def _indent4(rows: list) -> bytes:
    return json.dumps(rows, indent=4).encode()


def _compact(rows: list) -> bytes:
    return json.dumps(rows, ensure_ascii=False, separators=(",", ":")).encode()


# Sizes the shapes are cut to (bytes, label).
CUTS = [(2_048, "2KB"), (8_192, "8KB"), (32_768, "32KB")]

# (name, rows generator taking (rows, seed), printer, rows, seed, note) of each shape.
SHAPES = [
    ("nested_indent", nested_rows, _indent4, 13_000, 7,
     "nested objects and arrays of objects, json.dumps indent=4"),
    ("strings_indent", flat_string_rows, _indent4, 48_000, 8,
     "flat rows of short strings, json.dumps indent=4"),
    ("unicode_text", unicode_rows, _compact, 46_000, 9,
     "raw UTF-8 texts in six scripts and emoji, compact"),
    ("shuffled_keys", shuffled_rows, _compact, 43_000, 10,
     "twelve keys, each row in its own order, compact"),
    ("time_series", series_rows, _compact, 110_000, 11,
     "candles of two-decimal floats, compact"),
]


def cut(rows: list, printer, target: int) -> tuple[int, bytes]:
    """The first n rows printed, n chosen so that the size is closest to target."""
    lo, hi = 1, len(rows)
    while lo < hi:  # the least n whose payload reaches target
        mid = (lo + hi) // 2
        if len(printer(rows[:mid])) < target:
            lo = mid + 1
        else:
            hi = mid
    best = min((n for n in (lo - 1, lo) if n >= 1), key=lambda n: abs(len(printer(rows[:n])) - target))
    return best, printer(rows[:best])


def shapes() -> list[tuple[str, bytes, str, str, int | None]]:
    """(name, payload, note, shape, cut target or None) of each shape at its
    bench size, each followed by its cuts."""
    result = []
    for name, make, printer, rows, seed, note in SHAPES:
        data = make(rows, seed)
        result.append((name, printer(data), f"{note}; {rows} rows, seed {seed}", name, None))
        for target, label in CUTS:
            n, piece = cut(data, printer, target)
            result.append((f"{name}/{label}", piece, f"its first {n} rows", name, target))
    return result


def small_payload(size: int, rows: int, keys: int, seed: int) -> bytes:
    """rows small rows of the first `keys` of id, n, ok, v, tag, compact, the
    strings of key n padded so that the payload is exactly size bytes."""
    rng = random.Random(seed)
    made = []
    for i in range(rows):
        row = {"id": i + 1, "n": "", "ok": rng.random() < 0.5, "v": rng.randrange(10_000) / 100,
               "tag": rng.choice(_WORDS)}
        made.append(dict(list(row.items())[:keys]))
    spare = size - len(_compact(made))
    if spare < rows:
        raise ValueError(f"{rows} rows of {keys} keys do not fit in {size} bytes")
    letters = "abcdefghijklmnopqrstuvwxyz"
    for i, row in enumerate(made):
        row["n"] = "".join(rng.choice(letters) for _ in range(spare // rows + (i < spare % rows)))
    data = _compact(made)
    assert len(data) == size
    return data


def small_calls() -> list[tuple[str, bytes, str]]:
    """(name, payload, note) of the calls where per-call cost dominates."""
    return [
        ("rows_49", small_payload(49, 2, 2, 12), "2 rows of 2 keys"),
        ("tiny", tiny(), "3 rows of 3 keys"),
        ("rows_128", small_payload(128, 2, 5, 13), "2 rows of 5 keys"),
        ("rows_213", small_payload(213, 3, 5, 14), "3 rows of 5 keys"),
        ("rows_256", small_payload(256, 4, 5, 15), "4 rows of 5 keys"),
        ("empty", b"[]", "no rows"),
    ]
