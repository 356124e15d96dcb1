// Hostile inputs: each must give its exact result without crashing and
// without going quadratic. A linear step of 10x in size is allowed 30x in
// cost (room for cache misses once the larger input outgrows the caches),
// where a quadratic one would cost about 100x. Cost is measured two ways:
// - allocations (calls and bytes asked of malloc during the call), counted
//   exactly, so unaffected by other work on the machine; this is what
//   guards against copies that grow with the square of the input;
// - the thread's CPU time against a baseline measured in the same test
//   (never absolute times), the least ratio over a few attempts: load on a
//   shared machine (a busy sibling hyperthread, cache and memory contention)
//   only ever adds time, in bursts, so a linear step passes once one attempt
//   runs undisturbed, while a quadratic one exceeds the bound in every
//   attempt. This guards against work without allocations (rescans, hash
//   collisions).
// Memory bounds are the peak resident growth of one call as a multiple of
// the payload size. Allocations and memory are measured only without
// sanitizers, which replace malloc. Sizes shrink under sanitizers, whose
// overhead is linear too.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "../../fuzz/check.hpp"
#include "json/pages.hpp"
#include "transform/entry.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TESSIK_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TESSIK_TEST_SANITIZED 1
#endif
#endif
#ifndef TESSIK_TEST_SANITIZED
#define TESSIK_TEST_SANITIZED 0
#endif
// Allocations are counted through glibc's malloc family, replaced below;
// other C libraries (Windows') cannot be replaced that way.
#if !TESSIK_TEST_SANITIZED && defined(__GLIBC__)
#define TESSIK_TEST_COUNTS_ALLOCATIONS 1
#else
#define TESSIK_TEST_COUNTS_ALLOCATIONS 0
#endif

namespace {

constexpr bool kSanitized = TESSIK_TEST_SANITIZED != 0;

// Allocations made by this thread while `counting` is set. Plain
// thread-locals of the executable live in static TLS, so touching them
// inside malloc allocates nothing.
struct AllocationTally {
    bool counting = false;
    std::uint64_t calls = 0;
    std::uint64_t bytes = 0;
};
constinit thread_local AllocationTally tally{};

inline void count_allocation(std::size_t bytes) {
    if (tally.counting) {
        ++tally.calls;
        tally.bytes += bytes;
    }
}

}  // namespace

#if TESSIK_TEST_COUNTS_ALLOCATIONS
// The test program's own allocation functions: they count, then forward to
// the C library's allocator, so every allocation of the code under test
// (operator new included, which calls malloc) passes through them. free
// stays the C library's: the memory is the same allocator's.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) noexcept {
    count_allocation(n);
    return __libc_malloc(n);
}
void* calloc(std::size_t count, std::size_t n) noexcept {
    count_allocation(count * n);
    return __libc_calloc(count, n);
}
// A realloc is counted at its full new size: the worst case copies it all.
void* realloc(void* p, std::size_t n) noexcept {
    count_allocation(n);
    return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t align, std::size_t n) noexcept {
    count_allocation(n);
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, std::size_t align, std::size_t n) noexcept {
    count_allocation(n);
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}
#endif

namespace {

// Linear work, 10x the size: at most this many times the baseline's cost.
constexpr double kLinearTenfold = 30.0;
// Time ratios are measured up to this many times while they exceed their bound.
constexpr int kAttempts = 6;

std::size_t scaled(std::size_t release, std::size_t sanitized) { return kSanitized ? sanitized : release; }

// Gives free memory back to the system, where the C library can be asked to.
void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Windows counts a thread's CPU time in scheduler ticks of 10-16 ms, longer
// than most calls timed here, and Wine has no cycle count per thread; wall
// time on a shared machine is no substitute. Times are compared elsewhere.
#if defined(_WIN32)
constexpr bool kTimesThreads = false;
#else
constexpr bool kTimesThreads = true;
#endif

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best of at least `reps` runs, and of as many more as fit in about 50 ms
// of measured time (up to 50 runs): the least disturbed by other work.
double best_time(const std::function<void()>& f, int reps) {
    double best = 1e300, total = 0;
    for (int r = 0; r < 50 && (r < reps || total < 0.05); ++r) {
        // Free memory goes back to the system first, so that every run pays
        // for faulting in the pages it writes: otherwise a payload of a few
        // MB reuses warm heap memory while one of 64 MB, above glibc's
        // largest mmap threshold, is mapped afresh every time.
        release_free_memory();
        const double t0 = thread_cpu_seconds();
        f();
        const double t = thread_cpu_seconds() - t0;
        best = std::min(best, t);
        total += t;
    }
    return std::max(best, 1e-6);
}

struct Outcome {
    bool ok = false;
    std::string text;  // output, or the error text
};

Outcome columnarize(const std::string& payload) {
    auto r = tessik::transform::columnarize_json(payload);
    if (r.is_ok()) return {true, std::string(r.value().view())};
    return {false, r.error()};
}

// Seconds for one call, best of a few.
double call_time(const std::string& payload, int reps) {
    return best_time([&] { (void)tessik::transform::columnarize_json(payload); }, reps);
}

// The least ratio time(numerator) / time(denominator) * scale over up to
// kAttempts attempts, stopping at the first within `bound`. Each attempt
// measures both sides afresh, so a burst of load that fell on one side
// does not decide the result. Nothing where threads cannot be timed.
struct TimeRatio {
    double ratio = 1e300;
    int attempts = 0;
};

std::optional<TimeRatio> least_time_ratio(const std::string& numerator, const std::string& denominator,
                                          double bound, double scale = 1.0) {
    if (!kTimesThreads) {
        std::printf("[ ratio ] times not compared: no fine CPU clock per thread here\n");
        return std::nullopt;
    }
    TimeRatio r;
    while (r.attempts < kAttempts && !(r.ratio <= bound)) {
        const double t_den = call_time(denominator, 5);
        const double t_num = call_time(numerator, 3);
        r.ratio = std::min(r.ratio, t_num / t_den * scale);
        ++r.attempts;
    }
    return r;
}

struct Allocations {
    std::uint64_t calls = 0;
    std::uint64_t bytes = 0;
};

// The allocations of one call, or nothing where they cannot be counted.
std::optional<Allocations> allocations_of(const std::string& payload) {
    if (!TESSIK_TEST_COUNTS_ALLOCATIONS) return std::nullopt;
    tally = {true, 0, 0};
    (void)tessik::transform::columnarize_json(payload);
    const Allocations a{tally.calls, tally.bytes};
    tally.counting = false;
    return a;
}

// How the cost of `large` (10x the size of `small`, in the dimension under
// test) compares with that of `small`: allocated bytes, allocation calls and
// CPU time, each at most kLinearTenfold times. Allocation counts get an
// allowance of 64 calls and 64 KB for buffers that grow by doubling (a
// logarithmic number of steps) and fixed-size blocks.
void expect_linear_tenfold(const std::string& large, const std::string& small, const std::string& what) {
    if (const auto big = allocations_of(large)) {
        const Allocations base = *allocations_of(small);
        std::printf("[ ratio ] %s: allocations %llu vs %llu calls, %.1f vs %.1f MB\n", what.c_str(),
                    static_cast<unsigned long long>(big->calls), static_cast<unsigned long long>(base.calls),
                    static_cast<double>(big->bytes) / 1e6, static_cast<double>(base.bytes) / 1e6);
        EXPECT_LE(static_cast<double>(big->calls), kLinearTenfold * static_cast<double>(base.calls) + 64) << what;
        EXPECT_LE(static_cast<double>(big->bytes), kLinearTenfold * static_cast<double>(base.bytes) + 65536) << what;
    }
    if (const auto t = least_time_ratio(large, small, kLinearTenfold)) {
        std::printf("[ ratio ] %s: %.1fx time (%d attempt%s)\n", what.c_str(), t->ratio, t->attempts,
                    t->attempts == 1 ? "" : "s");
        EXPECT_LE(t->ratio, kLinearTenfold) << what;
    }
}

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.starts_with(prefix)) return std::stol(line.substr(prefix.size()));
    return -1;
}

// Peak resident growth of one call, as a multiple of the payload size, or
// a negative number where it cannot be measured (sanitizers, a kernel that
// cannot reset the high-water mark, or Windows, which has no /proc; under
// Wine the path would reach the host's).
double peak_multiple(const std::string& payload) {
#if defined(_WIN32)
    (void)payload;
    return -1;
#endif
    if (kSanitized) return -1;
    release_free_memory();
    {
        std::ofstream reset("/proc/self/clear_refs");
        if (!reset) return -1;
        reset << "5";
        if (!reset.flush()) return -1;
    }
    const long hwm = status_kb("VmHWM");
    const long before = status_kb("VmRSS");
    // The reset took when the high-water mark is back near the current size.
    if (hwm < 0 || before < 0 || hwm - before > 4096) return -1;
    (void)tessik::transform::columnarize_json(payload);
    const long peak = status_kb("VmHWM");
    return static_cast<double>(peak - before) * 1024.0 / static_cast<double>(payload.size());
}

// Asserts the peak of one call on the payload stays under the bound (a
// multiple of its size), where the peak can be measured.
void expect_peak_at_most(const std::string& payload, double bound) {
    const double mem = peak_multiple(payload);
    if (mem < 0) return;
    std::printf("[ memory ] peak %.2fx the payload\n", mem);
    EXPECT_LE(mem, bound);
}

std::string document(const std::string& columns, const std::string& rows, const std::string& constants) {
    return "{\"columns\":[" + columns + "],\"rows\":[" + rows + "],\"constants\":{" + constants + "}}";
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

// ---------------------------------------------------------------- keys

std::string one_wide_object(std::size_t keys) {
    std::string p = "[{";
    for (std::size_t i = 0; i < keys; ++i) {
        if (i != 0) p += ',';
        p += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
    }
    return p + "}]";
}

TEST(Hostile, OneObjectWithManyDistinctKeys) {
    const std::size_t n = scaled(100'000, 20'000);
    const std::string large = one_wide_object(n);
    const Outcome got = columnarize(large);
    std::string columns, cells;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) columns += ',', cells += ',';
        columns += "\"k" + std::to_string(i) + "\"";
        cells += std::to_string(i);
    }
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    EXPECT_EQ(got.text, document(columns, "[" + cells + "]", ""));

    expect_linear_tenfold(large, one_wide_object(n / 10),
                          std::to_string(n) + " keys in one object vs " + std::to_string(n / 10));
    // A map entry costs far more than the dozen payload bytes of a key.
    expect_peak_at_most(large, 30.0);
}

// 2^blocks keys of 2*blocks bytes from the blocks "Aa" and "BB", which have
// the same polynomial hash (h = 31h + c): every key collides under it, at
// any table size, as in the classic hash-flooding attack.
std::vector<std::string> colliding_keys(int blocks) {
    std::vector<std::string> keys(std::size_t{1} << blocks);
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (int b = 0; b < blocks; ++b) keys[i] += ((i >> b) & 1) ? "BB" : "Aa";
    return keys;
}

std::vector<std::string> plain_keys(std::size_t count, std::size_t length) {
    std::vector<std::string> keys(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string digits = std::to_string(i);
        keys[i] = std::string(length - digits.size(), 'k') + digits;
    }
    return keys;
}

std::uint64_t polynomial_hash(std::string_view s) {
    std::uint64_t h = 0;
    for (unsigned char c : s) h = h * 31 + c;
    return h;
}

// Two rows with the same keys; only the first key's value differs, so the
// rest become constants (one more map of colliding keys).
std::string two_rows_with(const std::vector<std::string>& keys) {
    std::string p = "[";
    for (int row = 0; row < 2; ++row) {
        p += row == 0 ? "{" : ",{";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i != 0) p += ',';
            p += "\"" + keys[i] + "\":" + std::to_string(i == 0 ? row : i);
        }
        p += '}';
    }
    return p + "]";
}

TEST(Hostile, KeysCollidingUnderAFixedHash) {
    const int blocks = kSanitized ? 14 : 17;
    const std::vector<std::string> keys = colliding_keys(blocks);
    for (const std::string& k : keys) ASSERT_EQ(polynomial_hash(k), polynomial_hash(keys[0]));

    const std::string colliding = two_rows_with(keys);
    const Outcome got = columnarize(colliding);
    std::string constants;
    for (std::size_t i = 1; i < keys.size(); ++i) {
        if (i != 1) constants += ',';
        constants += "\"" + keys[i] + "\":" + std::to_string(i);
    }
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    EXPECT_EQ(got.text, document("\"" + keys[0] + "\"", "[0],[1]", constants));

    // Against keys of the same count and length that do not collide.
    const std::string plain = two_rows_with(plain_keys(keys.size(), keys[0].size()));
    // Collisions cost probes, not allocations: only time tells them.
    if (const auto vs_plain = least_time_ratio(colliding, plain, 3.0)) {
        std::printf("[ ratio ] %zu colliding keys vs as many plain keys: %.2fx time (%d attempt%s)\n", keys.size(),
                    vs_plain->ratio, vs_plain->attempts, vs_plain->attempts == 1 ? "" : "s");
        EXPECT_LE(vs_plain->ratio, 3.0);
    }

    // And linear in their count: 8x the keys, at most 20x the time.
    if (const auto vs_eighth = least_time_ratio(colliding, two_rows_with(colliding_keys(blocks - 3)), 20.0)) {
        std::printf("[ ratio ] %zu colliding keys vs %zu: %.1fx time (%d attempt%s)\n", keys.size(),
                    keys.size() / 8, vs_eighth->ratio, vs_eighth->attempts, vs_eighth->attempts == 1 ? "" : "s");
        EXPECT_LE(vs_eighth->ratio, 20.0);
    }
}

// ---------------------------------------------------------------- rows

// Row i holds only the key k<i>: n columns by n rows of output, quadratic
// in the input by nature, so the bound is on time per output cell.
std::string wide_sparse(std::size_t n) {
    std::string p = "[";
    for (std::size_t i = 0; i < n; ++i) p += (i ? ",{\"k" : "{\"k") + std::to_string(i) + "\":" + std::to_string(i) + "}";
    return p + "]";
}

TEST(Hostile, WideSparseRows) {
    const std::size_t n = scaled(2000, 600);
    const std::string large = wide_sparse(n);
    const Outcome got = columnarize(large);
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    std::string columns, rows;
    rows.reserve(n * n * 5 + n * 8);
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) columns += ',', rows += ',';
        columns += "\"k" + std::to_string(i) + "\"";
        rows += '[';
        for (std::size_t j = 0; j < n; ++j) {
            if (j != 0) rows += ',';
            rows += j == i ? std::to_string(i) : "null";
        }
        rows += ']';
    }
    EXPECT_EQ(got.text, document(columns, rows, ""));

    // Twice the rows, four times the cells: time per cell stays flat.
    const std::string half = wide_sparse(n / 2);
    const double cells = double(n * n) / double(n / 2 * (n / 2));
    if (const auto big = allocations_of(large)) {
        const auto base = *allocations_of(half);
        const double bytes_per_cell = double(big->bytes) / double(base.bytes) / cells;
        std::printf("[ ratio ] %zu sparse rows vs %zu: %.2fx allocated bytes per output cell, %llu vs %llu calls\n", n,
                    n / 2, bytes_per_cell, static_cast<unsigned long long>(big->calls),
                    static_cast<unsigned long long>(base.calls));
        EXPECT_LE(bytes_per_cell, 3.0);
        EXPECT_LE(double(big->calls), 3.0 * cells * double(base.calls) + 64);
    }
    if (const auto per_cell = least_time_ratio(large, half, 3.0, 1.0 / cells)) {
        std::printf("[ ratio ] %zu sparse rows vs %zu: %.2fx time per output cell (%d attempt%s)\n", n, n / 2,
                    per_cell->ratio, per_cell->attempts, per_cell->attempts == 1 ? "" : "s");
        EXPECT_LE(per_cell->ratio, 3.0);
    }
}

// Every row brings its own key, always null, next to a varying "id": the
// output stays one column wide, so the work must stay linear too.
std::string null_only_keys(std::size_t n) {
    std::string p = "[";
    for (std::size_t i = 0; i < n; ++i)
        p += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + ",\"n" + std::to_string(i) + "\":null}";
    return p + "]";
}

TEST(Hostile, RowsEachWithTheirOwnNullKey) {
    const std::size_t n = scaled(20'000, 4'000);
    const std::string large = null_only_keys(n);
    const Outcome got = columnarize(large);
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    std::string rows;
    for (std::size_t i = 0; i < n; ++i) rows += (i ? ",[" : "[") + std::to_string(i) + "]";
    EXPECT_EQ(got.text, document("\"id\"", rows, ""));

    expect_linear_tenfold(large, null_only_keys(n / 10),
                          std::to_string(n) + " rows with own null keys vs " + std::to_string(n / 10));
}

std::string tiny_rows(std::size_t n) {
    std::string p = "[";
    p.reserve(n * 10);
    for (std::size_t i = 0; i < n; ++i) p += (i ? ",{\"a\":" : "{\"a\":") + std::to_string(i) + "}";
    return p + "]";
}

TEST(Hostile, MillionTinyRows) {
    const std::size_t n = scaled(1'000'000, 100'000);
    const std::string large = tiny_rows(n);
    const Outcome got = columnarize(large);
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    std::string rows;
    rows.reserve(n * 10);
    for (std::size_t i = 0; i < n; ++i) rows += (i ? ",[" : "[") + std::to_string(i) + "]";
    EXPECT_EQ(got.text, document("\"a\"", rows, ""));

    // Empty rows too: one empty array each.
    const std::string empties = "[" + repeat("{},", n - 1) + "{}]";
    const Outcome none = columnarize(empties);
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(none.text, document("", "[]" + repeat(",[]", n - 1), ""));

    expect_linear_tenfold(large, tiny_rows(n / 10), std::to_string(n) + " tiny rows vs " + std::to_string(n / 10));
    // Each row is a map of its own, many times its 10 payload bytes.
    expect_peak_at_most(large, 50.0);
}

// ---------------------------------------------------------------- nesting

// Row i: {"d": 125 arrays around i}, so every row reaches 127 levels with
// the top-level array and the row object.
std::string nested_rows(std::size_t n, bool same_value) {
    const std::string open(125, '['), close(125, ']');
    std::string p = "[";
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) p += ',';
        p += "{\"id\":" + std::to_string(i) + ",\"d\":" + open + (same_value ? "-1.5e-7" : std::to_string(i)) + close +
             "}";
    }
    return p + "]";
}

TEST(Hostile, NestedToTheLimitInEveryRow) {
    const std::size_t n = scaled(10'000, 2'000);
    const std::string open(125, '['), close(125, ']');

    const std::string varying = nested_rows(n, false);
    const Outcome got = columnarize(varying);
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    std::string rows;
    for (std::size_t i = 0; i < n; ++i)
        rows += (i ? ",[" : "[") + std::to_string(i) + "," + open + std::to_string(i) + close + "]";
    EXPECT_EQ(got.text, document("\"id\",\"d\"", rows, ""));

    // The same deep value everywhere: a constant, compared level by level.
    const std::string same = nested_rows(n, true);
    const Outcome constant = columnarize(same);
    ASSERT_TRUE(constant.ok) << constant.text.substr(0, 200);
    rows.clear();
    for (std::size_t i = 0; i < n; ++i) rows += (i ? ",[" : "[") + std::to_string(i) + "]";
    EXPECT_EQ(constant.text, document("\"id\"", rows, "\"d\":" + open + "-1.5e-7" + close));

    // One more level in the last row: the 128th bracket is the fault.
    std::string deeper = varying;
    deeper.pop_back();
    const std::size_t row_start = deeper.size() + 1;
    deeper += ",{\"d\":" + open + "[1]" + close + "}]";
    const std::size_t bracket = row_start + 5 + 125;  // index of the 128th level
    ASSERT_EQ(deeper[bracket], '[');
    const Outcome too_deep = columnarize(deeper);
    EXPECT_FALSE(too_deep.ok);
    EXPECT_EQ(too_deep.text,
              "invalid row-oriented JSON: recursion limit exceeded at line 1 column " + std::to_string(bracket + 1));

    const std::string rows_vs = std::to_string(n) + " rows nested 127 deep vs " + std::to_string(n / 10);
    expect_linear_tenfold(varying, nested_rows(n / 10, false), rows_vs + ", varying");
    expect_linear_tenfold(same, nested_rows(n / 10, true), rows_vs + ", constant");
}

// ---------------------------------------------------------------- strings

// Mixed one- to four-byte characters, none needing an escape.
std::string text_of(std::size_t bytes) {
    static const std::string unit = "abc \xC3\xA9\xE6\x9D\xB1\xF0\x9F\x98\x80 xyz/~\x7F";  // 21 bytes
    std::string s = repeat(unit, bytes / unit.size() + 1);
    s.resize(bytes / unit.size() * unit.size());
    return s;
}

TEST(Hostile, SingleStringOf64Megabytes) {
    const std::size_t bytes = scaled(64u << 20, 8u << 20);
    const std::string s = text_of(bytes);
    const std::string large = "[{\"s\":\"" + s + "\"}]";
    {
        const Outcome got = columnarize(large);
        ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
        EXPECT_TRUE(got.text == document("\"s\"", "[\"" + s + "\"]", ""));
    }
    expect_linear_tenfold(large, "[{\"s\":\"" + text_of(bytes / 10) + "\"}]",
                          std::to_string(s.size()) + "-byte string vs a tenth");
    // The parsed string, its copy in the output and the output text.
    expect_peak_at_most(large, 6.0);
}

TEST(Hostile, LongStringOfEscapes) {
    const std::size_t count = scaled(1u << 20, 1u << 17);
    auto payload = [](std::size_t n) {
        return "[{\"s\":\"" + repeat("\\u00e9\\ud83d\\ude00\\n", n) + "\"}]";
    };
    const std::string large = payload(count);
    const Outcome got = columnarize(large);
    ASSERT_TRUE(got.ok) << got.text.substr(0, 200);
    EXPECT_TRUE(got.text == document("\"s\"", "[\"" + repeat("\xC3\xA9\xF0\x9F\x98\x80\\n", count) + "\"]", ""));
    expect_linear_tenfold(large, payload(count / 10), std::to_string(count) + " escape groups vs a tenth");
}

// The row error quotes a huge offending element in full.
TEST(Hostile, RowErrorQuotingAHugeElement) {
    const std::size_t bytes = scaled(16u << 20, 2u << 20);
    const std::string s = text_of(bytes);
    const Outcome got = columnarize("[{},\"" + s + "\"]");
    EXPECT_FALSE(got.ok);
    EXPECT_TRUE(got.text == "expected a JSON object row, got: \"" + s + "\"");
    expect_linear_tenfold("[{},\"" + s + "\"]", "[{},\"" + text_of(bytes / 10) + "\"]",
                          "row error with a " + std::to_string(s.size()) + "-byte element vs a tenth");
}

// A bad byte anywhere in a string is reported after its closing quote, in
// a value and in a key alike.
TEST(Hostile, InvalidUtf8AtEveryPositionOfALongString) {
    const std::string s = text_of(scaled(3000, 1000));
    static constexpr unsigned char kBad[] = {0xFF, 0xC0, 0xF8};
    std::size_t checked = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        for (unsigned char bad : kBad) {
            std::string t = s;
            t[i] = static_cast<char>(bad);
            const Outcome value = columnarize("[{\"s\":\"" + t + "\"}]");
            const std::string at_value = "invalid row-oriented JSON: invalid unicode code point at line 1 column " +
                                         std::to_string(7 + t.size() + 1);
            ASSERT_EQ(value.text, at_value) << "byte " << i << " = " << int(bad);
            const Outcome key = columnarize("[{\"" + t + "\":1}]");
            const std::string at_key = "invalid row-oriented JSON: invalid unicode code point at line 1 column " +
                                       std::to_string(3 + t.size() + 1);
            ASSERT_EQ(key.text, at_key) << "byte " << i << " = " << int(bad);
            ++checked;
        }
        // An encoded surrogate (U+D800) inserted at this position.
        std::string t = s;
        t.insert(i, "\xED\xA0\x80");
        const Outcome value = columnarize("[{\"s\":\"" + t + "\"}]");
        ASSERT_EQ(value.text, "invalid row-oriented JSON: invalid unicode code point at line 1 column " +
                                  std::to_string(7 + t.size() + 1))
            << "surrogate at " << i;
    }
    EXPECT_EQ(checked, s.size() * std::size(kBad));

    // The check runs once, at the closing quote: linear in the length.
    const std::size_t big = scaled(16u << 20, 2u << 20);
    auto bad_first = [](std::string t) {
        t[0] = '\xFF';
        return "[{\"s\":\"" + t + "\"}]";
    };
    const std::string large = bad_first(text_of(big));
    const Outcome got = columnarize(large);
    EXPECT_EQ(got.text, "invalid row-oriented JSON: invalid unicode code point at line 1 column " +
                            std::to_string(large.size() - 2));
    expect_linear_tenfold(large, bad_first(text_of(big / 10)),
                          "invalid UTF-8 in a " + std::to_string(big) + "-byte string vs a tenth");
}

// ---------------------------------------------------------------- numbers

struct LongNumber {
    const char* name;
    std::function<std::string(std::size_t)> literal;
    std::function<std::string(std::size_t)> expected;  // output or error text
};

TEST(Hostile, LongestNumberLiterals) {
    const std::size_t n = scaled(1u << 20, 1u << 17);
    auto cell = [](const std::string& text) { return document("\"n\"", "[" + text + "]", ""); };
    const std::vector<LongNumber> table = {
        // 20 digits fill the significand; the rest only count as an exponent.
        {"integer of a million digits is out of range", [](std::size_t d) { return "1" + std::string(d, '0'); },
         [](std::size_t d) {
             return "invalid row-oriented JSON: number out of range at line 1 column " + std::to_string(7 + d);
         }},
        {"the same integer scaled back by its exponent",
         [](std::size_t d) { return "1" + std::string(d, '0') + "e-" + std::to_string(d); },
         [&](std::size_t) { return cell("1.0"); }},
        {"fraction of a million zeros underflows to zero",
         [](std::size_t d) { return "0." + std::string(d, '0') + "1"; }, [&](std::size_t) { return cell("0.0"); }},
        {"negative zero with a million fraction digits", [](std::size_t d) { return "-0." + std::string(d, '0'); },
         [&](std::size_t) { return cell("-0.0"); }},
        {"exponent of a million leading zeros", [](std::size_t d) { return "1e" + std::string(d, '0') + "1"; },
         [&](std::size_t) { return cell("10.0"); }},
        {"zero with a million-digit exponent", [](std::size_t d) { return "0e" + std::string(d, '9'); },
         [&](std::size_t) { return cell("0.0"); }},
        {"negative million-digit exponent", [](std::size_t d) { return "1e-" + std::string(d, '9'); },
         [&](std::size_t) { return cell("0.0"); }},
        {"million-digit exponent fails at its tenth digit", [](std::size_t d) { return "1e" + std::string(d, '9'); },
         [](std::size_t) { return std::string("invalid row-oriented JSON: number out of range at line 1 column 18"); }},
        // The deepest place a number can sit, holding a long literal.
        {"long literal at the deepest level",
         [](std::size_t d) {
             return std::string(125, '[') + "1" + std::string(d, '0') + "e-" + std::to_string(d) +
                    std::string(125, ']');
         },
         [&](std::size_t) { return cell(std::string(125, '[') + "1.0" + std::string(125, ']')); }},
    };
    for (const LongNumber& c : table) {
        SCOPED_TRACE(c.name);
        auto payload = [&](std::size_t d) { return "[{\"n\":" + c.literal(d) + "}]"; };
        const std::string large = payload(n);
        const Outcome got = columnarize(large);
        EXPECT_EQ(got.text, c.expected(n));
        EXPECT_EQ(got.ok, !got.text.starts_with("invalid"));
        expect_linear_tenfold(large, payload(n / 10), std::string(c.name) + ", " + std::to_string(n) + " digits vs a tenth");
    }
}

// ---------------------------------------------------------------- positions

// The position of an error after a million line feeds is found from the
// byte index once, not tracked per byte.
TEST(Hostile, ErrorAfterAMillionLines) {
    const std::size_t n = scaled(1'000'000, 200'000);
    auto payload = [](std::size_t lines) { return "[" + std::string(lines, '\n') + "{\"a\":1},x]"; };
    const Outcome got = columnarize(payload(n));
    EXPECT_EQ(got.text, "invalid row-oriented JSON: expected value at line " + std::to_string(n + 1) + " column 9");
    expect_linear_tenfold(payload(n), payload(n / 10), "error after " + std::to_string(n) + " lines vs a tenth");
}

// ---------------------------------------------------------------- findings

// Inputs that once broke an invariant, with the exact result the rules
// give; each also passes the fuzzing invariant checker.
struct Regression {
    const char* what;
    std::string payload;
    bool ok;
    std::string expected;
};

TEST(Hostile, FuzzRegressions) {
    const std::string open(125, '['), close(125, ']');
    const std::vector<Regression> table = {
        // A cell at the input's depth limit sits two levels deeper in the
        // output ("rows" and its row array), past what the reader takes
        // back: the output must still be written in full.
        {"cell nested at the limit", "[{\"d\":" + open + close + "},{\"d\":1}]", true,
         document("\"d\"", "[" + open + close + "],[1]", "")},
    };
    for (const Regression& r : table) {
        SCOPED_TRACE(r.what);
        const Outcome got = columnarize(r.payload);
        EXPECT_EQ(got.ok, r.ok);
        EXPECT_EQ(got.text, r.expected);
        EXPECT_EQ(tessik::fuzzcheck::check_payload(r.payload), "");
    }
}

// Large working arrays are mapped and grown by moving their pages: growth
// must keep every byte, whatever size and alignment the mapping got, and
// however the huge-page hint split it.
TEST(Hostile, MappedArraysGrowKeepingTheirBytes) {
    namespace pages = tessik::json::pages;
    for (const std::size_t first : {pages::map_from, std::size_t{3} << 20, (std::size_t{5} << 20) + 12288}) {
        std::size_t size = first;
        auto* p = static_cast<unsigned char*>(pages::map(size));
        for (std::size_t i = 0; i < size; i += 4096) p[i] = static_cast<unsigned char>(i / 4096 * 7);
        p[size - 1] = 0xA5;
        for (int step = 0; step < 3; ++step) {
            const std::size_t grown = size * 2;
            p = static_cast<unsigned char*>(pages::remap(p, size, grown));
            for (std::size_t i = 0; i < first; i += 4096)
                ASSERT_EQ(p[i], static_cast<unsigned char>(i / 4096 * 7)) << first << " at " << i;
            ASSERT_EQ(p[first - 1], 0xA5) << first;
            p[grown - 1] = 1;  // the new pages are writable
            size = grown;
        }
        pages::unmap(p, size);
    }
}
