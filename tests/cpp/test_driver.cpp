#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "transform/driver.hpp"

using namespace tessik;
using transform::DriverResult;
using transform::OutputRoom;

namespace {

// Stands in for the interpreter: counts the detach/attach steps and checks
// that place() and discard() come only while attached.
struct FakeHost {
    int detached = 0;
    int attached = 0;
    int discarded = 0;
    bool fail_place = false;
    std::vector<char> placed;

    bool is_attached() const { return attached == detached; }
    int detach() {
        EXPECT_TRUE(is_attached());
        ++detached;
        return 7;
    }
    void attach(int token) {
        EXPECT_EQ(token, 7);
        EXPECT_FALSE(is_attached());
        ++attached;
    }
    char* place(std::size_t size) {
        EXPECT_TRUE(is_attached());
        if (fail_place) throw std::bad_alloc();
        placed.assign(size, '\0');
        return placed.data();
    }
    void discard() {
        EXPECT_TRUE(is_attached());
        ++discarded;
    }
};

using Out = Result<std::size_t, std::string>;
using Transform = std::function<Out(std::string_view, OutputRoom&)>;

DriverResult drive(std::string_view payload, const Transform& t, FakeHost& host) {
    return transform::run_contained(payload.data(), payload.size(), t, host);
}

// Writes `text` as the document.
Out write(OutputRoom& room, std::string_view text) {
    char* p = room.room(text.size());
    std::copy(text.begin(), text.end(), p);
    return Out::ok(text.size());
}

}  // namespace

TEST(Driver, OutcomesBecomeResults) {
    const std::string large(transform::place_from, 'x');
    struct Row {
        const char* name;
        Transform transform;
        bool fail_place;
        DriverResult::Kind kind;
        std::string text;
        int discarded;
    };
    const Row rows[] = {
        {"small output goes to a buffer when detached", [](std::string_view p, OutputRoom& r) { return write(r, p); }, false,
         DriverResult::Kind::Output, "payload", 0},
        {"large output is placed", [&](std::string_view, OutputRoom& r) { return write(r, large); }, false,
         DriverResult::Kind::Placed, large, 0},
        {"no room for a large output", [&](std::string_view, OutputRoom& r) { return write(r, large); }, true,
         DriverResult::Kind::OutOfMemory, "", 0},
        {"failure after placing",
         [&](std::string_view, OutputRoom& r) -> Out {
             r.room(large.size());
             throw std::logic_error("the written document differs from its computed size");
         },
         false, DriverResult::Kind::Error,
         "internal panic during columnarization: the written document differs from its computed size", 1},
        {"error text passes unchanged",
         [](std::string_view, OutputRoom&) { return Out::err("expected a JSON object row, got: 1"); }, false,
         DriverResult::Kind::Error, "expected a JSON object row, got: 1", 0},
        {"failure without text", [](std::string_view, OutputRoom&) -> Out { throw 42; }, false,
         DriverResult::Kind::Error, "internal panic during columnarization: unknown panic in columnarize_json", 0},
        {"allocation failure", [](std::string_view, OutputRoom&) -> Out { throw std::bad_alloc(); }, false,
         DriverResult::Kind::OutOfMemory, "", 0},
    };
    // A payload too small to detach for, and one just large enough.
    const std::string detaching(transform::detach_from, 'p');
    for (const std::string& payload : {std::string("payload"), detaching}) {
        const bool detaches = payload.size() >= transform::detach_from;
        for (const Row& r : rows) {
            FakeHost host;
            host.fail_place = r.fail_place;
            DriverResult result = drive(payload, r.transform, host);
            // Attached, even a small document goes straight into the result.
            const auto kind = r.kind == DriverResult::Kind::Output && !detaches ? DriverResult::Kind::Placed : r.kind;
            const std::string text = r.text == "payload" ? payload : r.text;
            EXPECT_EQ(result.kind, kind) << r.name << ", " << payload.size() << " bytes";
            if (kind == DriverResult::Kind::Output) {
                EXPECT_EQ(result.output.view(), text) << r.name;
            } else if (kind == DriverResult::Kind::Placed) {
                EXPECT_EQ(std::string_view(host.placed.data(), host.placed.size()), text) << r.name;
            } else {
                EXPECT_EQ(result.error, r.text) << r.name;
            }
            // Attached again on every path, and once more only to place.
            const int attaches = !detaches ? 0 : host.placed.empty() && !r.fail_place ? 1 : 2;
            EXPECT_EQ(host.detached, attaches) << r.name << ", " << payload.size() << " bytes";
            EXPECT_EQ(host.attached, attaches) << r.name << ", " << payload.size() << " bytes";
            EXPECT_TRUE(host.is_attached()) << r.name;
            EXPECT_EQ(host.discarded, r.discarded) << r.name;
        }
    }
}

TEST(Driver, TransformReadsThePayloadInPlaceDetachedFromItsSize) {
    struct Row {
        std::size_t size;
        bool detached;
    };
    const Row rows[] = {{0, false}, {5, false}, {transform::detach_from - 1, false},
                        {transform::detach_from, true}, {4 * transform::detach_from, true}};
    for (const Row& r : rows) {
        FakeHost host;
        const std::string payload(r.size, '[');
        const char* seen = nullptr;
        bool attached_inside = true;
        DriverResult result = drive(
            std::string_view(payload.data(), payload.size()),
            [&](std::string_view p, OutputRoom&) {
                attached_inside = host.is_attached();
                EXPECT_EQ(p.size(), r.size);
                seen = p.data();
                return Out::err("x");
            },
            host);
        if (r.size != 0) {
            EXPECT_EQ(seen, payload.data()) << r.size;
        }
        EXPECT_EQ(attached_inside, !r.detached) << r.size;
        EXPECT_EQ(host.detached, r.detached ? 1 : 0) << r.size;
        EXPECT_TRUE(host.is_attached()) << r.size;
        EXPECT_EQ(result.kind, DriverResult::Kind::Error);
    }
}
