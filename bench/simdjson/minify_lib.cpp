// simdjson as a peer of the module, loaded into the bench's own process with
// ctypes: parse into simdjson's DOM, then write it back minified. The parser
// is reused per thread (its buffers grow once and stay), the output is a
// fresh std::string each call, as the module's result is a fresh bytes.
//
// Built by tools/run-bench:
//   g++ -O3 -DNDEBUG -std=c++20 -shared -fPIC minify_lib.cpp -lsimdjson -o libsimdjson_minify.so
//
// The caller passes its payload followed by tessik_simdjson_padding() bytes
// that it owns, so simdjson reads it in place (no copy), as it reads a
// padded_string.
#include <simdjson.h>

#include <cstddef>
#include <string>

#define TESSIK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// What a call leaves behind, so that the minified text counts as used.
thread_local volatile char last_byte;
}  // namespace

// Bytes the caller must have readable after the payload.
TESSIK_EXPORT std::size_t tessik_simdjson_padding() { return simdjson::SIMDJSON_PADDING; }

// The implementation simdjson picked for this processor (e.g. "haswell").
TESSIK_EXPORT const char* tessik_simdjson_implementation() {
    return simdjson::get_active_implementation()->name().c_str();
}

// Parses size bytes at data and minifies them into a fresh string; returns
// the minified size, or -1 if simdjson rejects the payload.
TESSIK_EXPORT long long tessik_simdjson_minify(const char* data, std::size_t size) {
    thread_local simdjson::dom::parser parser;
    simdjson::dom::element doc;
    if (parser.parse(data, size, false).get(doc) != simdjson::SUCCESS) {
        return -1;
    }
    const std::string out = simdjson::minify(doc);
    last_byte = out.empty() ? '\0' : out.back();
    return static_cast<long long>(out.size());
}

// The same signature doing nothing: the cost of the ctypes call itself.
TESSIK_EXPORT long long tessik_simdjson_noop(const char*, std::size_t size) {
    return static_cast<long long>(size);
}
