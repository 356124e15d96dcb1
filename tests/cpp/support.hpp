// Helpers shared by the C++ tests.
#pragma once

#include <bit>
#include <cstdint>

#include "json/value.hpp"

namespace tessik::json::testing {

// Stricter than ==: doubles by bits and object members in position order.
inline bool same(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return a.as_bool() == b.as_bool();
        case Value::Kind::Number: {
            const Number &x = a.as_number(), &y = b.as_number();
            if (x.form() != y.form()) return false;
            if (x.form() == Number::Form::Double) {
                return std::bit_cast<std::uint64_t>(x.as_double()) ==
                       std::bit_cast<std::uint64_t>(y.as_double());
            }
            return x == y;
        }
        case Value::Kind::String: return a.as_string() == b.as_string();
        case Value::Kind::Array: {
            const Array &x = a.as_array(), &y = b.as_array();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!same(x[i], y[i])) return false;
            }
            return true;
        }
        case Value::Kind::Object: {
            const Map &x = a.as_object(), &y = b.as_object();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (x.entry(i).key != y.entry(i).key || !same(x.entry(i).value, y.entry(i).value)) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

}  // namespace tessik::json::testing
