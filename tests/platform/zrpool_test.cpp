// The block pool: blocks keep their contents through reuse and reallocation.
#include <gtest/gtest.h>

#include <stdint.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include <algorithm>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "zrplat.h"
#include "zrpool.h"

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
                // Aligned for any type of that size: by 8 when n is a multiple of 8.
                ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % (n % 8 == 0 ? 8 : 4), 0u) << n;
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

namespace {
// The pool's chunks are aligned to their size, 2 MB.
const uintptr_t kChunk = 2 << 20;
uintptr_t ChunkOf(const void* p) { return reinterpret_cast<uintptr_t>(p) & ~(kChunk - 1); }

// The sanitizer builds hand every block to the C allocator: the pool has nothing to show.
bool PoolInUse() {
    void* p = zrPoolAlloc(8);
    bool pooled = zrPoolHeldBytes() > 0;
    zrPoolFree(p);
    return pooled;
}
}  // namespace

// A freed block is handed out again for a size of its class and for no other; a resize
// within the class keeps the block, one to another class (smaller too) moves it and keeps
// the contents that fit; blocks beyond the largest class are the C allocator's and never
// enter the pool's free lists.
TEST(Platform, PoolClassesReuseAndResize) {
    if (!PoolInUse()) GTEST_SKIP() << "no pool in this build";
    void* anchor = zrPoolAlloc(8);  // keeps the chunks in use throughout
    for (size_t n = 1; n <= 256; ++n) {
        size_t top = n <= 8 ? 8 : (n + 3) / 4 * 4;  // the classes step by 4 from 8
        unsigned char* p = static_cast<unsigned char*>(zrPoolAlloc(n));
        zrPoolFree(p);
        if (top + 4 <= 256) {
            void* other = zrPoolAlloc(top + 4);
            EXPECT_NE(other, p) << n;
            zrPoolFree(other);
        }
        ASSERT_EQ(zrPoolAlloc(top), p) << n;
        for (size_t i = 0; i < top; ++i) p[i] = static_cast<unsigned char>(i);
        ASSERT_EQ(zrPoolResize(p, top - 3), p) << n;
        size_t to[] = {top + 4, n > 8 ? n - 8 : 300, 5000, 3};
        unsigned char* q = p;
        size_t kept = top;
        for (size_t m : to) {
            unsigned char* r = static_cast<unsigned char*>(zrPoolResize(q, m));
            ASSERT_NE(r, nullptr);
            EXPECT_TRUE(m > 256 || r != q) << n << " to " << m;
            kept = kept < m ? kept : m;
            for (size_t i = 0; i < kept; ++i)
                ASSERT_EQ(r[i], static_cast<unsigned char>(i)) << n << " to " << m;
            q = r;
        }
        zrPoolFree(q);
    }
    std::vector<void*> big;
    for (size_t n = 257; n < 4000; n += 97) big.push_back(zrPoolAlloc(n));
    for (void* b : big) zrPoolFree(b);
    for (size_t n = 1; n <= 256; n += 8) {
        void* p = zrPoolAlloc(n);
        for (void* b : big) ASSERT_NE(p, b) << n;
        zrPoolFree(p);
    }
    zrPoolFree(anchor);
}

// When the last block is freed the pool holds nothing, and the next blocks come from the
// chunks it had, which hold what is written to them as new.
TEST(Platform, PoolEmptiedChunksAreReused) {
    if (!PoolInUse()) GTEST_SKIP() << "no pool in this build";
    if (zrPoolHeldBytes() != 0) GTEST_SKIP() << "blocks of other tests are still held";
    std::vector<uintptr_t> chunks;
    for (int round = 0; round < 2; ++round) {
        std::vector<unsigned char*> blocks;
        for (int i = 0; i < 150000; ++i) {
            size_t n = 8 + static_cast<size_t>(i % 7) * 16;
            unsigned char* p = static_cast<unsigned char*>(zrPoolAlloc(n));
            ASSERT_NE(p, nullptr);
            memset(p, i & 0xFF, n);
            blocks.push_back(p);
            uintptr_t c = ChunkOf(p);
            bool seen = std::find(chunks.begin(), chunks.end(), c) != chunks.end();
            if (round == 0 && !seen) chunks.push_back(c);
            ASSERT_TRUE(round == 0 || seen) << "a new chunk while emptied ones were spare";
        }
        EXPECT_GT(chunks.size(), 3u);
        EXPECT_GE(zrPoolHeldBytes(), 150000u * 56);
        for (size_t i = 0; i < blocks.size(); ++i)
            ASSERT_EQ(blocks[i][0], static_cast<unsigned char>(i & 0xFF)) << i;
        for (unsigned char* p : blocks) zrPoolFree(p);
        EXPECT_EQ(zrPoolHeldBytes(), 0u);
    }
}

// A plan lists the chunk in use and the chunks it maps, in the order of their use: each
// listed chunk is the one that blocks come from once zrPoolChunksBegun() reaches its count,
// after the spares of an earlier round (not listed). Faulting a chunk in changes none of
// its bytes; the chunks never begun go when the plan is given up.
TEST(Platform, PoolPlanListsChunksInTheOrderOfTheirUse) {
    if (!PoolInUse()) GTEST_SKIP() << "no pool in this build";
    if (zrPoolHeldBytes() != 0) GTEST_SKIP() << "blocks of other tests are still held";
    void* out[64];
    long at[64];
    std::vector<uintptr_t> first;  // the chunks of round 0
    for (int round = 0; round < 2; ++round) {
        std::vector<unsigned char*> blocks = {static_cast<unsigned char*>(zrPoolAlloc(64))};
        memset(blocks[0], 0x5A, 64);
        // Round 1 holds the spares of round 0 (and of earlier tests) and plans beyond them.
        size_t bytes = (round == 0 ? 12 : 24) * kChunk;
        int n = zrPoolPlan(bytes, out, at, 64);
        if (n == 0) GTEST_SKIP() << "the pool plans nothing on this system";
        ASSERT_GE(n, 2);
        EXPECT_EQ(ChunkOf(out[0]), ChunkOf(blocks[0]));  // the chunk in use comes first
        zrPoolFaultIn(out[0]);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(blocks[0][i], 0x5A);
        for (int i = 1; i < n; ++i) {
            while (zrPoolChunksBegun() < at[i])
                blocks.push_back(static_cast<unsigned char*>(zrPoolAlloc(200)));
            ASSERT_EQ(ChunkOf(blocks.back()), reinterpret_cast<uintptr_t>(out[i])) << round << " " << i;
            bool old = std::find(first.begin(), first.end(), ChunkOf(out[i])) != first.end();
            EXPECT_FALSE(old) << round << " " << i;
        }
        if (round == 0)
            for (int i = 0; i < n; ++i) first.push_back(ChunkOf(out[i]));
        for (unsigned char* p : blocks) zrPoolFree(p);
        EXPECT_EQ(zrPoolHeldBytes(), 0u);
    }

#ifdef __linux__
    // The chunks of a plan that the load never began go back to the system; the pool
    // goes on with the rest.
    std::vector<unsigned char*> blocks = {static_cast<unsigned char*>(zrPoolAlloc(64))};
    int n = zrPoolPlan(40 * kChunk, out, at, 64);
    ASSERT_GE(n, 3);
    while (zrPoolChunksBegun() < at[1]) blocks.push_back(static_cast<unsigned char*>(zrPoolAlloc(200)));
    zrPoolUnplan(out, at, n);
    unsigned char page;
    for (int i = 0; i < n; ++i) {
        bool mapped = mincore(out[i], 4096, &page) == 0;
        EXPECT_EQ(mapped, i < 2) << i;
        EXPECT_EQ(zrPoolOwns(out[i]), i < 2) << i;  // else a block of malloc there would go astray
    }
    for (int i = 0; i < 20000; ++i) {
        blocks.push_back(static_cast<unsigned char*>(zrPoolAlloc(200)));
        memset(blocks.back(), 7, 200);
    }
    for (unsigned char* p : blocks) zrPoolFree(p);
    EXPECT_EQ(zrPoolHeldBytes(), 0u);
#endif
}

// An arena's blocks keep their contents and alignment like the pool's, and its pages are not
// the pool's until it is merged. Once merged, its blocks and free room are the pool's: the
// main thread's new blocks overlap none of the arena's, it frees them all, and the pool then
// empties into the spares, whose chunks (the arena's too) the next blocks come from.
TEST(Platform, PoolArenaBlocksJoinThePool) {
    struct Case {
        const char* name;
        size_t maxSize;   // blocks of 1 to maxSize bytes
        int poolBlocks;   // made by the main thread before the arena, so that both have room
        int arenaBlocks;  // of which the arena frees a quarter and moves a quarter
    } cases[] = {
        {"arena alone", 256, 0, 60000},
        {"both with room in every class", 256, 5000, 60000},
        {"beyond the largest class", 600, 3000, 30000},
        {"an arena that makes little", 64, 20000, 50},
    };
    struct Block {
        unsigned char* p;
        size_t n;
    };
    auto fill = [](Block b) { memset(b.p, static_cast<int>(b.n * 7 & 0xFF), b.n); };
    auto intact = [](Block b, size_t upto) {
        for (size_t i = 0; i < upto; ++i)
            if (b.p[i] != static_cast<unsigned char>(b.n * 7)) return false;
        return true;
    };
    auto aligned = [](Block b) { return reinterpret_cast<uintptr_t>(b.p) % (b.n % 8 == 0 ? 8 : 4) == 0; };
    const bool pooled = PoolInUse();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool fresh = zrPoolHeldBytes() == 0;
        std::mt19937 rng(11);
        std::vector<Block> blocks;
        for (int i = 0; i < c.poolBlocks; ++i) {
            Block b = {nullptr, 1 + rng() % c.maxSize};
            ASSERT_NE(b.p = static_cast<unsigned char*>(zrPoolAlloc(b.n)), nullptr);
            fill(b);
            blocks.push_back(b);
        }
        const size_t poolHeld = zrPoolHeldBytes();
        std::vector<Block> made;
        auto build = [&] {
            std::mt19937 r(23);
            for (int i = 0; i < c.arenaBlocks; ++i) {
                Block b = {nullptr, 1 + r() % c.maxSize};
                if (!(b.p = static_cast<unsigned char*>(zrPoolAlloc(b.n))) || !aligned(b)) return false;
                fill(b);
                made.push_back(b);
                Block& m = made[r() % made.size()];
                if (i % 4 == 1) {
                    size_t n = 1 + r() % c.maxSize;
                    Block to = {static_cast<unsigned char*>(zrPoolResize(m.p, n)), m.n};
                    if (!to.p || !intact(to, std::min(m.n, n))) return false;
                    fill(m = {to.p, n});
                } else if (i % 4 == 3) {
                    if (!intact(m, m.n)) return false;
                    zrPoolFree(m.p);
                    m = made.back();
                    made.pop_back();
                }
            }
            return true;
        };
        ZrPoolArena* arena = zrPoolArenaNew();
        bool built = false;
        size_t arenaHeld = 0;
        std::thread([&] {
            if (!arena) return;
            zrPoolArenaBegin(arena);
            built = build();
            arenaHeld = zrPoolHeldBytes();
            zrPoolArenaEnd();
        }).join();
        if (!arena) GTEST_SKIP() << "no arenas in this build";
        ASSERT_TRUE(built);
        EXPECT_EQ(zrPoolHeldBytes(), poolHeld);
        zrPoolArenaMerge(arena);
        EXPECT_EQ(zrPoolHeldBytes(), poolHeld + arenaHeld);
        std::set<uintptr_t> chunks;
        for (const Block& b : made) {
            ASSERT_TRUE(intact(b, b.n));
            if (pooled && b.n <= 256) {
                EXPECT_TRUE(zrPoolOwns(b.p));
                chunks.insert(ChunkOf(b.p));
            }
        }
        blocks.insert(blocks.end(), made.begin(), made.end());
        // The merged free lists and the room carved from the region given up.
        for (int i = 0; i < 20000; ++i) {
            Block b = {nullptr, 1 + static_cast<size_t>(i) % c.maxSize};
            ASSERT_NE(b.p = static_cast<unsigned char*>(zrPoolAlloc(b.n)), nullptr);
            ASSERT_TRUE(aligned(b));
            fill(b);
            blocks.push_back(b);
        }
        std::shuffle(blocks.begin(), blocks.end(), rng);
        for (const Block& b : blocks) {
            ASSERT_TRUE(intact(b, b.n));
            zrPoolFree(b.p);
        }
        if (!pooled || !fresh) continue;
        EXPECT_EQ(zrPoolHeldBytes(), 0u);
        // Half the arena's pages again come from the chunks given back.
        std::vector<void*> again;
        for (size_t bytes = 0; bytes < arenaHeld / 2; bytes += 128) {
            again.push_back(zrPoolAlloc(128));
            ASSERT_EQ(chunks.count(ChunkOf(again.back())), 1u) << "not a chunk of the arena";
        }
        for (void* p : again) zrPoolFree(p);
    }
}
