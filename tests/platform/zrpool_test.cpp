// The block pool: blocks keep their contents through reuse and reallocation.
#include <gtest/gtest.h>

#include <stdint.h>

#include <random>
#include <utility>
#include <vector>

#include "zrplat.h"

// Blocks of every size class and beyond keep their contents through reallocation and
// reuse, whatever the order in which they are freed; the pool empties between rounds.
TEST(Platform, PoolBlocksKeepTheirContents) {
    std::mt19937 rng(7);
    std::vector<std::pair<unsigned char*, size_t>> live;
    auto check = [](const unsigned char* p, size_t n, size_t upto) {
        for (size_t j = 0; j < upto; ++j)
            if (p[j] != static_cast<unsigned char>(n)) return false;
        return true;
    };
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 20000; ++i) {
            if (rng() % 3 < 2 || live.empty()) {
                size_t n = rng() % 600;
                unsigned char* p = static_cast<unsigned char*>(zrMalloc(n));
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
                memset(p, static_cast<int>(n & 0xFF), n);
                live.push_back({p, n});
                continue;
            }
            size_t k = rng() % live.size();
            unsigned char* p = live[k].first;
            size_t n = live[k].second;
            ASSERT_TRUE(check(p, n, n));
            if (rng() % 2) {
                size_t m = rng() % 600;
                unsigned char* q = static_cast<unsigned char*>(zrRealloc(p, m));
                ASSERT_NE(q, nullptr);
                ASSERT_TRUE(check(q, n, n < m ? n : m));
                memset(q, static_cast<int>(m & 0xFF), m);
                live[k] = {q, m};
            } else {
                zrFree(p);
                live.erase(live.begin() + static_cast<long>(k));
            }
        }
        for (auto& b : live) {
            ASSERT_TRUE(check(b.first, b.second, b.second));
            zrFree(b.first);
        }
        live.clear();
    }
}
