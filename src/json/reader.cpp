#include "json/reader.hpp"

#include <utility>

#include "json/quoted.hpp"
#include "json/writer.hpp"

namespace tessik::json {

std::string_view error_message(ErrorCode code) noexcept {
    switch (code) {
        case ErrorCode::EofWhileParsingList: return "EOF while parsing a list";
        case ErrorCode::EofWhileParsingObject: return "EOF while parsing an object";
        case ErrorCode::EofWhileParsingString: return "EOF while parsing a string";
        case ErrorCode::EofWhileParsingValue: return "EOF while parsing a value";
        case ErrorCode::ExpectedColon: return "expected `:`";
        case ErrorCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case ErrorCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case ErrorCode::ExpectedSomeIdent: return "expected ident";
        case ErrorCode::ExpectedSomeValue: return "expected value";
        case ErrorCode::InvalidEscape: return "invalid escape";
        case ErrorCode::InvalidNumber: return "invalid number";
        case ErrorCode::NumberOutOfRange: return "number out of range";
        case ErrorCode::InvalidUnicodeCodePoint: return "invalid unicode code point";
        case ErrorCode::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case ErrorCode::KeyMustBeAString: return "key must be a string";
        case ErrorCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case ErrorCode::TrailingComma: return "trailing comma";
        case ErrorCode::TrailingCharacters: return "trailing characters";
        case ErrorCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case ErrorCode::RecursionLimitExceeded: return "recursion limit exceeded";
        case ErrorCode::Message: break;
    }
    return {};
}

std::string Error::text() const {
    std::string out(code == ErrorCode::Message ? std::string_view(message) : error_message(code));
    if (line != 0) {
        out += " at line ";
        out += std::to_string(line);
        out += " column ";
        out += std::to_string(column);
    }
    return out;
}

namespace detail {

std::string describe_scalar(const StringToken* string, const NumberToken* number, Value::Kind kind, bool flag) {
    switch (kind) {
        case Value::Kind::Null: return "null";
        case Value::Kind::Bool: return flag ? "boolean `true`" : "boolean `false`";
        case Value::Kind::String: {
            std::string description = "string ";
            append_quoted(description, string->text);
            return description;
        }
        case Value::Kind::Number: {
            const Number n = number->number;
            switch (n.form()) {
                case Number::Form::Unsigned: return "integer `" + format_u64(n.as_u64()) + "`";
                case Number::Form::Negative:
                    return "integer `-" + format_u64(0 - static_cast<std::uint64_t>(n.as_i64())) + "`";
                case Number::Form::Double: return "floating point `" + format_double(n.as_double()) + "`";
            }
            break;
        }
        case Value::Kind::Array:
        case Value::Kind::Object:
            break;  // not reached: brackets are handled by the reader
    }
    return {};
}

}  // namespace detail

namespace {

// Builds owned values: open containers on a stack, each moved into its
// parent when it closes. Repeated keys go through insert_full: first
// position, last value.
class ValueSink {
public:
    std::vector<Value> elements;

    void begin_array(const Byte*) { open_.push_back(Open{Value(Array()), {}}); }
    void begin_object(const Byte*) { open_.push_back(Open{Value(Map()), {}}); }
    void end_array(const Byte*) { close(); }
    void end_object(const Byte*) { close(); }
    void key(const StringToken& t) { open_.back().key.assign(t.text); }
    void string(const StringToken& t) { add(Value(String(t.text))); }
    void number(const NumberToken& t) { add(Value(t.number)); }
    void literal(Value::Kind kind, bool flag, const Byte*, const Byte*) {
        add(kind == Value::Kind::Null ? Value() : Value(flag));
    }

private:
    struct Open {
        Value value;
        std::string key;  // of the member being read, in an object
    };

    void close() {
        Value done = std::move(open_.back().value);
        open_.pop_back();
        if (open_.empty()) elements = std::move(done.as_array());
        else add(std::move(done));
    }
    void add(Value v) {
        Open& top = open_.back();
        if (top.value.is_object()) top.value.as_object().insert_full(std::move(top.key), std::move(v));
        else top.value.as_array().push_back(std::move(v));
    }

    std::vector<Open> open_;
};

}  // namespace

Result<std::vector<Value>, Error> read_top_level_array(std::string_view bytes) {
    using R = Result<std::vector<Value>, Error>;
    ValueSink sink;
    Reader<ValueSink> reader(bytes, sink);
    if (!reader.read_top_level_array()) return R::err(reader.error());
    return R::ok(std::move(sink.elements));
}

}  // namespace tessik::json
