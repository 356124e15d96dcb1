// The per-cell array gives back what lies behind the writer of the document.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "json/pages.hpp"
#include "json/pod_array.hpp"

namespace {

using tessik::json::PodArray;

// Enough elements to be mapped, with a value of its own in each.
void fill(PodArray<std::uint64_t, 4>& a, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) a.push_back(i * 2654435761u + 1);
}

}  // namespace

TEST(PodArray, ReleaseKeepsEveryElementFromItsIndexOn) {
    const std::size_t n = 3 * tessik::json::pages::map_from / sizeof(std::uint64_t);
    // Unaligned indexes, chunk edges, a step back (which gives back nothing
    // more) and the end.
    const std::size_t steps[] = {0, 1, 262'143, 262'144, 262'145, 700'001, 300'000, 1'500'000, n};
    PodArray<std::uint64_t, 4> a;
    fill(a, n);
    std::size_t furthest = 0;
    for (std::size_t at : steps) {
        a.release_before(at);
        furthest = std::max(furthest, at);
        for (std::size_t i = furthest; i < n; i += 97) {
            ASSERT_EQ(a[i], i * 2654435761u + 1) << "element " << i << " after releasing before " << at;
        }
        if (furthest < n) {
            EXPECT_EQ(a[furthest], furthest * 2654435761u + 1) << at;
        }
    }
#if TESSIK_MAPPED_PAGES
    // Given back: the first chunk reads as fresh zero pages.
    EXPECT_EQ(a[0], 0u);
#endif
}

TEST(PodArray, ReleaseOfASmallArrayChangesNothing) {
    PodArray<std::uint64_t, 4> a;
    fill(a, 1000);
    a.release_before(1000);
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(a[i], i * 2654435761u + 1) << i;
}
