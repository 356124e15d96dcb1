"""The columnar transform as a user would write it in Python: the peer the
module replaces. It follows the module's rules on parsed Python values:

- columns in order of first occurrence across rows;
- a key absent or null in every row is dropped;
- with at least two rows, a key whose cell matches the first row's cell in
  every row is a constant; top-level numbers match by float value, anything
  else by strict equality (1 and 1.0 differ, key order in objects does not);
- every row gets one cell per column, null where the key is missing.

Number literals are read by the chosen JSON library, so literals such as -0
or integers beyond 64 bits may take another form than in the module; the
benchmark payloads have none of them.
"""

import json

_NUMBERS = (int, float)


def _same(a, b) -> bool:
    """Equality that tells int, float and bool apart at every depth."""
    t = type(a)
    if t is not type(b):
        return False
    if t is dict:
        if len(a) != len(b):
            return False
        for k, v in a.items():
            if k not in b or not _same(v, b[k]):
                return False
        return True
    if t is list:
        return len(a) == len(b) and all(map(_same, a, b))
    return a == b


def _match(cell, ref) -> bool:
    tc, tr = type(cell), type(ref)
    if tc in _NUMBERS and tr in _NUMBERS:
        return float(cell) == float(ref)
    if tc is tr and tc is not dict and tc is not list:
        return cell == ref
    return _same(cell, ref)


def columnarize_rows(rows) -> dict:
    if type(rows) is not list:
        raise ValueError("expected a JSON array of rows")
    for r in rows:
        if type(r) is not dict:
            raise ValueError("expected a JSON object row, got: " + json.dumps(r, separators=(",", ":")))
    # First occurrence order: update keeps the position a key first took.
    seen: dict = {}
    for r in rows:
        seen.update(r)
    columns = [k for k in seen if any(r.get(k) is not None for r in rows)]
    constants = {}
    if len(rows) >= 2:
        first = rows[0]
        kept = []
        for k in columns:
            ref = first.get(k)
            if all(_match(r.get(k), ref) for r in rows):
                constants[k] = ref
            else:
                kept.append(k)
        columns = kept
    return {"columns": columns, "rows": [[r.get(k) for k in columns] for r in rows], "constants": constants}


def columnarize_json(payload: bytes) -> bytes:
    doc = columnarize_rows(json.loads(payload))
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def make_orjson(orjson):
    def columnarize_orjson(payload: bytes) -> bytes:
        return orjson.dumps(columnarize_rows(orjson.loads(payload)))
    return columnarize_orjson


def make_msgspec(msgspec):
    decode, encode = msgspec.json.decode, msgspec.json.encode

    def columnarize_msgspec(payload: bytes) -> bytes:
        return encode(columnarize_rows(decode(payload)))
    return columnarize_msgspec
