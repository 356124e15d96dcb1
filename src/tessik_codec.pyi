def columnarize(payload: bytes, min_rows: int = 20) -> bytes:
    """Columnarize a row-oriented JSON array of objects into compact JSON
    with the members "columns", "rows" and "constants"."""
    ...
