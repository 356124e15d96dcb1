// Either a value or an error: failures below the Python boundary are values.
#pragma once

#include <utility>
#include <variant>

namespace tessik {

template <class T, class E>
class Result {
public:
    static Result ok(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result err(E error) { return Result(std::in_place_index<1>, std::move(error)); }

    bool is_ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return is_ok(); }

    T& value() & noexcept { return *std::get_if<0>(&v_); }
    const T& value() const& noexcept { return *std::get_if<0>(&v_); }
    E& error() & noexcept { return *std::get_if<1>(&v_); }
    const E& error() const& noexcept { return *std::get_if<1>(&v_); }

private:
    template <std::size_t I, class U>
    Result(std::in_place_index_t<I> tag, U&& u) : v_(tag, std::forward<U>(u)) {}

    std::variant<T, E> v_;
};

}  // namespace tessik
