"""Columnarize a sample tool result (or the file given) and show both forms."""
import json
import sys

import tessik_codec

SAMPLE = [
    {"id": 1, "name": "Ada", "team": "core", "score": 9.5, "region": "eu", "note": None},
    {"id": 2, "name": "Grace", "team": "core", "score": 8.0, "region": "us"},
    {"id": 3, "name": "Linus", "team": "core", "score": 7.25, "region": "eu", "tags": ["x", "y"]},
]

payload = open(sys.argv[1], "rb").read() if len(sys.argv) > 1 else json.dumps(SAMPLE).encode()
out = tessik_codec.columnarize(payload)
print(f"in  ({len(payload)} bytes): {payload.decode()[:2000]}")
print(f"out ({len(out)} bytes): {out.decode()[:2000]}")
