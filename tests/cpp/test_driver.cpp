#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "transform/driver.hpp"

using namespace tessik;
using transform::DriverResult;

namespace {

struct Hooks {
    int detached = 0;
    int attached = 0;
    bool attached_before_return = false;
};

template <class Transform>
DriverResult drive(std::string_view payload, Transform&& t, Hooks& hooks) {
    return transform::run_contained(
        payload.data(), payload.size(), std::forward<Transform>(t),
        [&] {
            ++hooks.detached;
            return 7;
        },
        [&](int token) {
            EXPECT_EQ(token, 7);
            ++hooks.attached;
        });
}

using Out = Result<json::Buffer, std::string>;

}  // namespace

TEST(Driver, OutcomesBecomeResults) {
    struct Row {
        const char* name;
        std::function<Out(std::string_view)> transform;
        DriverResult::Kind kind;
        std::string text;
    };
    const Row rows[] = {
        {"output passes through",
         [](std::string_view p) {
             json::Buffer b;
             b.append(p);
             return Out::ok(std::move(b));
         },
         DriverResult::Kind::Output, "payload"},
        {"error text passes unchanged", [](std::string_view) { return Out::err("expected a JSON object row, got: 1"); },
         DriverResult::Kind::Error, "expected a JSON object row, got: 1"},
        {"failure with text",
         [](std::string_view) -> Out { throw std::runtime_error("index out of bounds"); },
         DriverResult::Kind::Error, "internal panic during columnarization: index out of bounds"},
        {"failure without text", [](std::string_view) -> Out { throw 42; }, DriverResult::Kind::Error,
         "internal panic during columnarization: unknown panic in columnarize_json"},
        {"allocation failure", [](std::string_view) -> Out { throw std::bad_alloc(); },
         DriverResult::Kind::OutOfMemory, ""},
    };
    for (const Row& r : rows) {
        Hooks hooks;
        DriverResult result = drive("payload", r.transform, hooks);
        EXPECT_EQ(result.kind, r.kind) << r.name;
        if (r.kind == DriverResult::Kind::Output) EXPECT_EQ(result.output.view(), r.text) << r.name;
        else EXPECT_EQ(result.error, r.text) << r.name;
        // Detached once and re-attached once, on every path.
        EXPECT_EQ(hooks.detached, 1) << r.name;
        EXPECT_EQ(hooks.attached, 1) << r.name;
    }
}

TEST(Driver, TransformReadsThePayloadInPlaceDetached) {
    Hooks hooks;
    std::string payload = "[1,2]";
    const char* seen = nullptr;
    DriverResult result = drive(
        payload,
        [&](std::string_view p) {
            EXPECT_EQ(hooks.detached, 1);
            EXPECT_EQ(hooks.attached, 0);
            EXPECT_EQ(p, "[1,2]");
            seen = p.data();
            return Out::err("x");
        },
        hooks);
    EXPECT_EQ(seen, payload.data());
    EXPECT_EQ(result.kind, DriverResult::Kind::Error);
}

TEST(Driver, EmptyPayloadStillDetaches) {
    Hooks hooks;
    DriverResult result = drive(
        std::string_view(), [](std::string_view p) { return p.empty() ? Out::err("empty") : Out::err("not empty"); },
        hooks);
    EXPECT_EQ(result.error, "empty");
    EXPECT_EQ(hooks.detached, 1);
    EXPECT_EQ(hooks.attached, 1);
}
