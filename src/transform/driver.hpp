// The driver: detaches from the interpreter for the transform (re-attaching
// only for a moment to create the result of a large document), contains
// internal failures, and re-attaches before the outcome is looked at. The
// payload is read in place: a bytes object is immutable and the
// caller's argument keeps it alive for the whole call, so its buffer may be
// read detached, on the free-threaded build too, without a private copy.
//
// The containment is plain C++ and parameterised on the transform and on a
// host (detach, attach, and making the result), so that it can be tested
// without an interpreter.
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
#include "transform/entry.hpp"

struct _object;  // the interpreter's PyObject

namespace tessik::transform {

struct DriverResult {
    enum class Kind { Output, Placed, Error, OutOfMemory };
    Kind kind;
    json::Buffer output;  // Kind::Output
    std::string error;    // Kind::Error: the RuntimeError text
    // Kind::Placed: the document was written into the host's place().
};

inline constexpr std::string_view panic_prefix = "internal panic during columnarization: ";
inline constexpr std::string_view panic_without_text = "unknown panic in columnarize_json";

// Documents are written straight into storage the host makes while attached
// (the result bytes), which spares a buffer as large and its copy. Detached,
// that costs one more attach, paid from this size up; smaller documents go
// to a buffer, so that the call attaches once.
inline constexpr std::size_t place_from = 256 * 1024;

// Payloads below this size are transformed attached: releasing and
// re-taking the interpreter costs more than their transform takes, and no
// other thread would notice the wait. (Measured with the bench's small calls.)
#ifndef TESSIK_DETACH_FROM
#define TESSIK_DETACH_FROM 2048
#endif
inline constexpr std::size_t detach_from = TESSIK_DETACH_FROM;

// Transform: Result<std::size_t, std::string>(std::string_view, OutputRoom&).
// Host: detach() returns a token that attach(token) takes back; while
// attached, place(size) makes room for a large document (throwing
// std::bad_alloc when it cannot) and discard() drops it again when the call
// fails after all.
template <class Transform, class Host>
DriverResult run_contained(const char* data, std::size_t len, Transform&& transform, Host& host) {
    enum class Outcome { Done, OutOfMemory, Failed, FailedWithoutText };
    using Token = decltype(host.detach());

    class Room final : public OutputRoom {
    public:
        Room(Host& host, Token& token) noexcept : host_(host), token_(token) {}
        char* room(std::size_t size) override {
            // Attached, the result costs nothing more to make now than
            // later, so any document goes straight into it.
            if (!detached) {
                char* where = host_.place(size);
                placed = true;
                return where;
            }
            if (size < place_from) return buffer.extend(size);
            host_.attach(token_);
            char* where;
            try {
                where = host_.place(size);
            } catch (...) {
                token_ = host_.detach();
                throw;
            }
            placed = true;
            token_ = host_.detach();
            return where;
        }
        json::Buffer buffer;
        bool placed = false;
        bool detached = false;

    private:
        Host& host_;
        Token& token_;
    };

    Outcome outcome = Outcome::Done;
    Result<std::size_t, std::string> result = Result<std::size_t, std::string>::err(std::string());
    std::string failure_text;

    Token token{};
    Room room(host, token);
    if (len >= detach_from) {
        token = host.detach();
        room.detached = true;
    }
    try {
        result = transform(std::string_view(len == 0 ? "" : data, len), room);
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
    if (room.detached) host.attach(token);

    if (room.placed && (outcome != Outcome::Done || !result.is_ok())) host.discard();
    switch (outcome) {
        case Outcome::Done:
            if (!result.is_ok()) return DriverResult{DriverResult::Kind::Error, {}, std::move(result.error())};
            if (room.placed) return DriverResult{DriverResult::Kind::Placed, {}, {}};
            return DriverResult{DriverResult::Kind::Output, std::move(room.buffer), {}};
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
// interpreter lock around columnarize_json. A Placed document is in
// *placed, a new reference to the result bytes.
DriverResult columnarize(const char* data, std::size_t len, _object** placed);

}  // namespace tessik::transform
