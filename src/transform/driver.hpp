// The driver: detaches from the interpreter for the whole transform,
// contains internal failures, and re-attaches before the outcome is looked
// at. The payload is read in place: a bytes object is immutable and the
// caller's argument keeps it alive for the whole call, so its buffer may be
// read detached, on the free-threaded build too, without a private copy.
//
// The containment is plain C++ and parameterised on the transform and on the
// detach/attach steps, so that it can be tested without an interpreter.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "json/buffer.hpp"
#include "json/result.hpp"

namespace tessik::transform {

struct DriverResult {
    enum class Kind { Output, Error, OutOfMemory };
    Kind kind;
    json::Buffer output;  // Kind::Output
    std::string error;    // Kind::Error: the RuntimeError text
};

inline constexpr std::string_view panic_prefix = "internal panic during columnarization: ";
inline constexpr std::string_view panic_without_text = "unknown panic in columnarize_json";

// Transform: Result<json::Buffer, std::string>(std::string_view).
// detach() returns a token that attach(token) takes back.
template <class Transform, class Detach, class Attach>
DriverResult run_contained(const char* data, std::size_t len, Transform&& transform, Detach&& detach,
                           Attach&& attach) {
    enum class Outcome { Done, OutOfMemory, Failed, FailedWithoutText };
    Outcome outcome = Outcome::Done;
    Result<json::Buffer, std::string> result = Result<json::Buffer, std::string>::err(std::string());
    std::string failure_text;

    auto token = detach();
    try {
        result = transform(std::string_view(len == 0 ? "" : data, len));
    } catch (const std::bad_alloc&) {
        outcome = Outcome::OutOfMemory;
    } catch (const std::exception& e) {
        outcome = Outcome::Failed;
        try {
            failure_text = e.what();
        } catch (...) {
            outcome = Outcome::OutOfMemory;
        }
    } catch (...) {
        outcome = Outcome::FailedWithoutText;
    }
    attach(token);

    switch (outcome) {
        case Outcome::Done:
            if (result.is_ok()) return DriverResult{DriverResult::Kind::Output, std::move(result.value()), {}};
            return DriverResult{DriverResult::Kind::Error, {}, std::move(result.error())};
        case Outcome::OutOfMemory:
            return DriverResult{DriverResult::Kind::OutOfMemory, {}, {}};
        case Outcome::Failed:
        case Outcome::FailedWithoutText:
            break;
    }
    try {
        std::string text(panic_prefix);
        text += outcome == Outcome::Failed ? std::string_view(failure_text) : panic_without_text;
        return DriverResult{DriverResult::Kind::Error, {}, std::move(text)};
    } catch (const std::bad_alloc&) {
        return DriverResult{DriverResult::Kind::OutOfMemory, {}, {}};
    }
}

// The interpreter-facing driver, defined next to the module: releases the
// interpreter lock around columnarize_json.
DriverResult columnarize(const char* data, std::size_t len);

}  // namespace tessik::transform
