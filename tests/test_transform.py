"""End to end through the Python function: payload bytes in, exact output bytes or error text out."""

import pytest

from tessik_codec import columnarize

INVALID = "invalid row-oriented JSON: "
ROW = "expected a JSON object row, got: "


def doc(columns, rows, constants=b"{}"):
    return b'{"columns":' + columns + b',"rows":' + rows + b',"constants":' + constants + b"}"


# --- the column-oriented document -----------------------------------------------------

TRANSFORM = [
    # worked example
    (
        b'[{"id":1,"tag":"a","unit":"kg","note":null},{"id":2,"unit":"kg","tag":"b"},'
        b'{"id":3,"tag":"a","unit":"kg","extra":null}]',
        b'{"columns":["id","tag"],"rows":[[1,"a"],[2,"b"],[3,"a"]],"constants":{"unit":"kg"}}',
    ),
    (b"[]", b'{"columns":[],"rows":[],"constants":{}}'),
    (b"[{}]", doc(b"[]", b"[[]]")),
    (b"[{},{}]", doc(b"[]", b"[[],[]]")),
    (b'[{"a":null},{"b":null}]', doc(b"[]", b"[[],[]]")),
    # one row: never split into constants; null keys still dropped
    (b'[{"a":1,"b":null}]', doc(b'["a"]', b"[[1]]")),
    (b'[{"a":"x","b":[],"c":{}}]', doc(b'["a","b","c"]', b'[["x",[],{}]]')),
    # two equal rows: everything constant
    (b'[{"a":1},{"a":1}]', doc(b"[]", b"[[],[]]", b'{"a":1}')),
    (b'[{"a":1,"b":"s"},{"b":"s","a":1}]', doc(b"[]", b"[[],[]]", b'{"a":1,"b":"s"}')),
    # absent and null cells are both null
    (b'[{"a":1,"b":null},{"a":2},{"b":3}]', doc(b'["a","b"]', b"[[1,null],[2,null],[null,3]]")),
    # column order is first occurrence across rows
    (b'[{"b":1,"a":2},{"c":3,"a":4}]', doc(b'["b","a","c"]', b"[[1,2,null],[null,4,3]]")),
    (
        b'[{"z":1},{"y":2,"z":2},{"x":3,"y":3}]',
        doc(b'["z","y","x"]', b"[[1,null,null],[2,2,null],[null,3,3]]"),
    ),
    # a key absent (or null) in the first row is never constant
    (b'[{"a":1},{"a":2,"b":5},{"a":3,"b":5}]', doc(b'["a","b"]', b"[[1,null],[2,5],[3,5]]")),
    (b'[{"a":null},{"a":1},{"a":1}]', doc(b'["a"]', b"[[null],[1],[1]]")),
    (b'[{"a":1},{"a":1},{}]', doc(b'["a"]', b"[[1],[1],[null]]")),
    (b'[{"a":1},{"a":1},{"a":null}]', doc(b'["a"]', b"[[1],[1],[null]]")),
    # constants keep column order and sit beside varying columns
    (
        b'[{"k":1,"c1":true,"v":1,"c2":"x"},{"c2":"x","v":2,"c1":true,"k":1}]',
        doc(b'["v"]', b"[[1],[2]]", b'{"k":1,"c1":true,"c2":"x"}'),
    ),
    # number forms at the top of a cell match by value; the first row's form is kept
    (b'[{"v":1},{"v":1.0}]', doc(b"[]", b"[[],[]]", b'{"v":1}')),
    (b'[{"v":1.0},{"v":1}]', doc(b"[]", b"[[],[]]", b'{"v":1.0}')),
    (b'[{"v":-1},{"v":-1.0},{"v":-1e0}]', doc(b"[]", b"[[],[],[]]", b'{"v":-1}')),
    (b'[{"v":0},{"v":-0}]', doc(b"[]", b"[[],[]]", b'{"v":0}')),
    (b'[{"v":-0},{"v":0}]', doc(b"[]", b"[[],[]]", b'{"v":-0.0}')),
    (b'[{"v":100},{"v":1E+2}]', doc(b"[]", b"[[],[]]", b'{"v":100}')),
    (b'[{"v":9007199254740993},{"v":9007199254740992}]', doc(b"[]", b"[[],[]]", b'{"v":9007199254740993}')),
    (
        b'[{"v":18446744073709551615},{"v":18446744073709551616}]',
        doc(b"[]", b"[[],[]]", b'{"v":18446744073709551615}'),
    ),
    (b'[{"v":1},{"v":2}]', doc(b'["v"]', b"[[1],[2]]")),
    (b'[{"v":1},{"v":true}]', doc(b'["v"]', b"[[1],[true]]")),
    (b'[{"v":"1"},{"v":1}]', doc(b'["v"]', b'[["1"],[1]]')),
    (b'[{"v":0},{"v":false}]', doc(b'["v"]', b"[[0],[false]]")),
    # nested numbers match by form, not by value
    (b'[{"v":[1]},{"v":[1.0]}]', doc(b'["v"]', b"[[[1]],[[1.0]]]")),
    (b'[{"v":{"x":1}},{"v":{"x":1.0}}]', doc(b'["v"]', b'[[{"x":1}],[{"x":1.0}]]')),
    (b'[{"v":[1,2]},{"v":[1,2]}]', doc(b"[]", b"[[],[]]", b'{"v":[1,2]}')),
    (b'[{"v":[1,2]},{"v":[2,1]}]', doc(b'["v"]', b"[[[1,2]],[[2,1]]]")),
    # objects match regardless of key order; the first row's order is kept
    (b'[{"o":{"x":1,"y":2}},{"o":{"y":2,"x":1}}]', doc(b"[]", b"[[],[]]", b'{"o":{"x":1,"y":2}}')),
    (b'[{"o":{"x":1}},{"o":{"x":1,"y":null}}]', doc(b'["o"]', b'[[{"x":1}],[{"x":1,"y":null}]]')),
    # a repeated key counts once, with its last value, at its first position
    (b'[{"a":1,"a":2},{"a":2}]', doc(b"[]", b"[[],[]]", b'{"a":2}')),
    (b'[{"a":1,"b":2,"a":3},{"b":4,"a":5}]', doc(b'["a","b"]', b"[[3,2],[5,4]]")),
    (b'[{"a":1,"a":null}]', doc(b"[]", b"[[]]")),
    (b'[{"o":{"x":1,"x":2}},{"o":{"x":2}}]', doc(b"[]", b"[[],[]]", b'{"o":{"x":2}}')),
    # keys compare as bytes: escapes decode first, no normalisation
    (b'[{"\\u00e9":1},{"\xc3\xa9":1}]', doc(b"[]", b"[[],[]]", b'{"\xc3\xa9":1}')),
    (b'[{"\xc3\xa9":1},{"e\\u0301":1}]', doc(b'["\xc3\xa9","e\xcc\x81"]', b"[[1,null],[null,1]]")),
    (b'[{"":1},{"":2}]', doc(b'[""]', b"[[1],[2]]")),
    (b'[{"a":1},{"A":1}]', doc(b'["a","A"]', b"[[1,null],[null,1]]")),
    # whitespace around and between tokens
    (b' \t\n\r[ {"a" : 1 } ,\r\n{"a":2}\t]\n ', doc(b'["a"]', b"[[1],[2]]")),
    (b"[\t\n\r ]", doc(b"[]", b"[]")),
    (b"[{\n}]", doc(b"[]", b"[[]]")),
    # nested values are written compactly
    (b'[{"a":[ 1 , { "b" : [ ] } , { } ]},{"a":null}]', doc(b'["a"]', b'[[[1,{"b":[]},{}]],[null]]')),
    (b'[{"a":[[],{}]}]', doc(b'["a"]', b"[[[[],{}]]]")),
]


@pytest.mark.parametrize("payload, expected", TRANSFORM)
def test_transform(payload, expected):
    assert columnarize(payload) == expected


# --- numbers in cells: forms and double texts -------------------------------------------

NUMBERS = [
    (b"1e05", b"100000.0"),
    (b"1.0", b"1.0"),
    (b"1E+2", b"100.0"),
    (b"0", b"0"),
    (b"-0", b"-0.0"),
    (b"-0.0", b"-0.0"),
    (b"0e0", b"0.0"),
    (b"0.5", b"0.5"),
    (b"-1.5", b"-1.5"),
    (b"123.456", b"123.456"),
    (b"0.1", b"0.1"),
    (b"18446744073709551615", b"18446744073709551615"),
    (b"18446744073709551616", b"1.8446744073709552e+19"),
    (b"-9223372036854775808", b"-9223372036854775808"),
    (b"-9223372036854775809", b"-9.223372036854776e+18"),
    (b"123456789012345678901234567890", b"1.2345678901234568e+29"),
    (b"3e23", b"2.9999999999999997e+23"),
    (b"1e-23", b"1.0000000000000001e-23"),
    (b"0.000000000000000000000000000001", b"9.999999999999999e-31"),
    (b"1e15", b"1000000000000000.0"),
    (b"1e16", b"1e+16"),
    (b"1e22", b"1e+22"),
    (b"0.00001", b"0.00001"),
    (b"0.000012345", b"0.000012345"),
    (b"0.00000999", b"9.99e-6"),
    (b"0.000001", b"1e-6"),
    (b"1.5e-7", b"1.5e-7"),
    (b"-2.5e-10", b"-2.5e-10"),
    (b"1e308", b"1e+308"),
    (b"1.7976931348623157e308", b"1.7976931348623157e+308"),
    (b"5e-324", b"5e-324"),
    (b"1.5e-320", b"1.5e-320"),
    (b"1e-400", b"0.0"),
    (b"0e99999999999", b"0.0"),
    (b"1e-99999999999", b"0.0"),
    (b"-1e-99999999999", b"-0.0"),
]


@pytest.mark.parametrize("literal, text", NUMBERS, ids=lambda v: v.decode() if isinstance(v, bytes) else v)
def test_number_cell(literal, text):
    # A second, different row keeps the key a column, so the cell is written as read.
    payload = b'[{"v":' + literal + b'},{"v":"other"}]'
    assert columnarize(payload) == doc(b'["v"]', b"[[" + text + b'],["other"]]')


@pytest.mark.parametrize("literal, text", NUMBERS, ids=lambda v: v.decode() if isinstance(v, bytes) else v)
def test_number_as_non_object_row(literal, text):
    with pytest.raises(RuntimeError) as info:
        columnarize(b"[" + literal + b"]")
    assert info.value.args == (ROW + text.decode(),)


def test_worked_example_from_issue_brief():
    assert columnarize(b'[{"v":1e05},{"v":2}]') == doc(b'["v"]', b"[[100000.0],[2]]")


# --- strings and keys in output ------------------------------------------------------------

STRINGS = [
    (b'"\\u0000"', b'"\\u0000"'),
    (b'"\\u001f"', b'"\\u001f"'),
    (b'"\\u001B"', b'"\\u001b"'),
    (b'"\\b\\f\\n\\r\\t"', b'"\\b\\f\\n\\r\\t"'),
    (b'"\\u0008\\u000C\\u000a\\u000D\\u0009"', b'"\\b\\f\\n\\r\\t"'),
    (b'"\\"\\\\"', b'"\\"\\\\"'),
    (b'"\\/"', b'"/"'),
    (b'"/\x7f"', b'"/\x7f"'),
    (b'"\\u007f"', b'"\x7f"'),
    (b'"\\u00e9\\u00E9\xc3\xa9"', b'"\xc3\xa9\xc3\xa9\xc3\xa9"'),
    (b'"\\uD83D\\uDE00"', b'"\xf0\x9f\x98\x80"'),
    (b'"\xf0\x9f\x98\x80"', b'"\xf0\x9f\x98\x80"'),
    (b'"\\u2028\\u2029"', b'"\xe2\x80\xa8\xe2\x80\xa9"'),
    (b'"a\\u0001b\\u0002c"', b'"a\\u0001b\\u0002c"'),
    (b'""', b'""'),
]


@pytest.mark.parametrize("literal, text", STRINGS)
def test_string_cell(literal, text):
    assert columnarize(b'[{"s":' + literal + b"}]") == doc(b'["s"]', b"[[" + text + b"]]")


@pytest.mark.parametrize("literal, text", STRINGS)
def test_string_key(literal, text):
    assert columnarize(b"[{" + literal + b":1}]") == doc(b"[" + text + b"]", b"[[1]]")


def test_escaped_keys_and_values_together():
    payload = b'[{"a\\"b":1,"c\\\\d":2,"\\u0001":3,"\\n":"\\t"},{}]'
    assert columnarize(payload) == doc(
        b'["a\\"b","c\\\\d","\\u0001","\\n"]',
        b'[[1,2,3,"\\t"],[null,null,null,null]]',
    )


def test_output_is_valid_utf8_and_round_trips_through_json():
    import json

    payload = b'[{"k\\u00e9":"\\ud83d\\ude00","n":1.5},{"k\\u00e9":"x","n":2}]'
    out = columnarize(payload)
    assert json.loads(out.decode("utf-8")) == {
        "columns": ["k\u00e9", "n"],
        "rows": [["\U0001f600", 1.5], ["x", 2]],
        "constants": {},
    }


# --- nesting limit ---------------------------------------------------------------------

def test_deepest_accepted_cell():
    # Array, row object and 125 arrays: 127 levels.
    payload = b'[{"a":' + b"[" * 125 + b"]" * 125 + b"}]"
    assert columnarize(payload) == doc(b'["a"]', b"[[" + b"[" * 125 + b"]" * 125 + b"]]")


def test_one_level_too_deep_in_a_cell():
    payload = b'[{"a":' + b"[" * 126 + b"]" * 126 + b"}]"
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    assert info.value.args == (INVALID + "recursion limit exceeded at line 1 column 132",)


def test_deepest_array_is_a_non_object_row():
    payload = b"[" * 127 + b"]" * 127
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    assert info.value.args == (ROW + "[" * 126 + "]" * 126,)


# --- non-object rows -------------------------------------------------------------------

ROW_ERRORS = [
    (b"[1]", "1"),
    (b"[null]", "null"),
    (b"[true]", "true"),
    (b"[false]", "false"),
    (b'["x"]', '"x"'),
    (b"[[]]", "[]"),
    (b'[{"a":1},[2,3],null]', "[2,3]"),
    (b'[{"a":1},{"b":2},7]', "7"),
    (b"[{}, [ {\"k\" : [1, 2]} , \"s\" ]]", '[{"k":[1,2]},"s"]'),
    (b'["a\\"b\\\\c\\/\\u00e9\\u0001\\t\\u001f"]', '"a\\"b\\\\c/\u00e9\\u0001\\t\\u001f"'),
    (b'["\\uD83D\\uDE00"]', '"\U0001f600"'),
    (b'[{"a":1},{"a":1,"a":2},"first",{}]', '"first"'),
    (b"[-7]", "-7"),
]


@pytest.mark.parametrize("payload, shown", ROW_ERRORS)
def test_non_object_row(payload, shown):
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    assert info.value.args == (ROW + shown,)


def test_non_object_row_is_written_in_full():
    long = "x" * 100_000
    with pytest.raises(RuntimeError) as info:
        columnarize(b'[{"a":1},"' + long.encode() + b'"]')
    assert info.value.args == (ROW + '"' + long + '"',)


# --- reader errors, with the entry's prefix ----------------------------------------------

READER_ERRORS = [
    # what is read at the top level
    (b"", "EOF while parsing a value at line 1 column 0"),
    (b"   ", "EOF while parsing a value at line 1 column 3"),
    (b"\n", "EOF while parsing a value at line 2 column 0"),
    (b"[] x", "trailing characters at line 1 column 4"),
    (b"[][]", "trailing characters at line 1 column 3"),
    (b"[1]\x00", "trailing characters at line 1 column 4"),
    (b"[]\n\n  ,", "trailing characters at line 3 column 3"),
    (b"\xef\xbb\xbf[]", "expected value at line 1 column 1"),
    (b"{}", "invalid type: map, expected a sequence at line 1 column 0"),
    (b"  {}", "invalid type: map, expected a sequence at line 1 column 2"),
    (b'{"a":1}', "invalid type: map, expected a sequence at line 1 column 0"),
    (b"null", "invalid type: null, expected a sequence at line 1 column 4"),
    (b"true", "invalid type: boolean `true`, expected a sequence at line 1 column 4"),
    (b"false", "invalid type: boolean `false`, expected a sequence at line 1 column 5"),
    (b"5", "invalid type: integer `5`, expected a sequence at line 1 column 1"),
    (b"-5", "invalid type: integer `-5`, expected a sequence at line 1 column 2"),
    (b"1.5", "invalid type: floating point `1.5`, expected a sequence at line 1 column 3"),
    (b"5 x", "invalid type: integer `5`, expected a sequence at line 1 column 1"),
    (b'"x"', 'invalid type: string "x", expected a sequence at line 1 column 3'),
    (b'"a\\tb"', 'invalid type: string "a\\tb", expected a sequence at line 1 column 6'),
    (b"x", "expected value at line 1 column 1"),
    (b"nul", "EOF while parsing a value at line 1 column 3"),
    (b"nulx", "expected ident at line 1 column 4"),
    (b"01", "invalid number at line 1 column 2"),
    (b"1e400", "number out of range at line 1 column 5"),
    # arrays
    (b"[1", "EOF while parsing a list at line 1 column 2"),
    (b"[1,", "EOF while parsing a value at line 1 column 3"),
    (b"[1 2]", "expected `,` or `]` at line 1 column 4"),
    (b"[1,]", "trailing comma at line 1 column 4"),
    (b"[,1]", "expected value at line 1 column 2"),
    (b'[{"a":1},2,]', "trailing comma at line 1 column 12"),
    (b"[1,\r\n2,\r\n]", "trailing comma at line 3 column 1"),
    (b'["\xc3\xa9x", 1 2]', "expected `,` or `]` at line 1 column 11"),
    # objects
    (b"[{", "EOF while parsing an object at line 1 column 2"),
    (b"[{,}]", "key must be a string at line 1 column 3"),
    (b"[{1:2}]", "key must be a string at line 1 column 3"),
    (b'[{"a"}]', "expected `:` at line 1 column 6"),
    (b'[{"a":1,}]', "trailing comma at line 1 column 9"),
    (b'[{"a":1 "b":2}]', "expected `,` or `}` at line 1 column 9"),
    (b'[{"a":1,2}]', "key must be a string at line 1 column 9"),
    (b'[{"a":1,', "EOF while parsing a value at line 1 column 8"),
    (b'[{"a":', "EOF while parsing a value at line 1 column 6"),
    # literals and numbers
    (b"[- 1]", "invalid number at line 1 column 3"),
    (b"[+1]", "expected value at line 1 column 2"),
    (b"[.5]", "expected value at line 1 column 2"),
    (b"[NaN]", "expected value at line 1 column 2"),
    (b"[Infinity]", "expected value at line 1 column 2"),
    (b"[nan]", "expected ident at line 1 column 3"),
    (b"[1.5.3]", "expected `,` or `]` at line 1 column 5"),
    (b"[truex]", "expected `,` or `]` at line 1 column 6"),
    (b"[tru]", "expected ident at line 1 column 5"),
    (b"[tr\nue]", "expected ident at line 2 column 0"),
    (b"[1.]", "invalid number at line 1 column 4"),
    (b"[1.", "EOF while parsing a value at line 1 column 3"),
    (b"[1e]", "invalid number at line 1 column 4"),
    (b"[1e", "EOF while parsing a value at line 1 column 3"),
    (b"[1e+]", "invalid number at line 1 column 5"),
    (b"[-]", "invalid number at line 1 column 3"),
    (b"[-", "EOF while parsing a value at line 1 column 2"),
    (b"[01]", "invalid number at line 1 column 3"),
    (b"[1e400]", "number out of range at line 1 column 6"),
    (b"[-1e400]", "number out of range at line 1 column 7"),
    (b"[1e99999999999]", "number out of range at line 1 column 13"),
    (b"[10e308]", "number out of range at line 1 column 7"),
    (b"[1.7976931348623158e308]", "number out of range at line 1 column 23"),
    # strings
    (b'["a', "EOF while parsing a string at line 1 column 3"),
    (b'["a\\', "EOF while parsing a string at line 1 column 4"),
    (b'["a\x01"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    (b'["a\nb"]', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    (b'["\\x"]', "invalid escape at line 1 column 4"),
    (b'["\\u12"]', "invalid escape at line 1 column 8"),
    (b'["\\u12"', "EOF while parsing a string at line 1 column 7"),
    (b'["\\uDC00"]', "lone leading surrogate in hex escape at line 1 column 8"),
    (b'["\\uD800"]', "unexpected end of hex escape at line 1 column 9"),
    (b'["\\uD800\\n"]', "unexpected end of hex escape at line 1 column 10"),
    (b'["\\uD800\\u0041"]', "lone leading surrogate in hex escape at line 1 column 14"),
    (b'["\xff"]', "invalid unicode code point at line 1 column 4"),
    # keys go through the same string reader
    (b'[{"\xff":1}]', "invalid unicode code point at line 1 column 5"),
    # nesting
    (b"[" * 128, "recursion limit exceeded at line 1 column 128"),
    (b"[" * 127 + b"{}" + b"]" * 127, "recursion limit exceeded at line 1 column 128"),
    (b"[" * 5000, "recursion limit exceeded at line 1 column 128"),
]


@pytest.mark.parametrize("payload, message", READER_ERRORS, ids=lambda v: repr(v)[:40])
def test_reader_error(payload, message):
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    assert type(info.value) is RuntimeError
    assert info.value.args == (INVALID + message,)


def test_syntax_error_wins_over_earlier_non_object_row():
    with pytest.raises(RuntimeError) as info:
        columnarize(b"[1, 2, {]")
    assert info.value.args == (INVALID + "key must be a string at line 1 column 9",)


# --- min_rows never changes the output ---------------------------------------------------

@pytest.mark.parametrize(
    "payload",
    [
        b"[]",
        b'[{"a":1,"b":null}]',
        b'[{"a":1},{"a":1}]',
        b'[{"a":1,"b":2},{"a":1,"b":3},{"a":1}]',
        TRANSFORM[0][0],
    ],
)
def test_output_independent_of_min_rows(payload):
    baseline = columnarize(payload)
    for min_rows in (0, 1, 2, 3, 20, 10**6, 2**64 - 1, True):
        assert columnarize(payload, min_rows) == baseline
        assert columnarize(payload, min_rows=min_rows) == baseline


@pytest.mark.parametrize("payload", [b"[1]", b"[1,", b""])
def test_error_independent_of_min_rows(payload):
    with pytest.raises(RuntimeError) as base:
        columnarize(payload)
    for min_rows in (0, 1, 20, 10**6):
        with pytest.raises(RuntimeError) as info:
            columnarize(payload, min_rows=min_rows)
        assert info.value.args == base.value.args


def test_same_payload_same_bytes_every_time():
    payload = TRANSFORM[0][0]
    first = columnarize(payload)
    assert all(columnarize(payload) == first for _ in range(100))
