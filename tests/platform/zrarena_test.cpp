// The block pool with an arena: two threads allocate at once, one of them in an arena.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <thread>
#include <vector>

#include "zrpool.h"

namespace {

struct Block {
    unsigned char* p;
    size_t n;
    unsigned char tag;
};

bool Intact(const Block& b, size_t upto) {
    for (size_t i = 0; i < upto; ++i)
        if (b.p[i] != b.tag) return false;
    return true;
}

// Makes, moves and frees blocks of every class and beyond, keeping the most: its pool takes
// chunk after chunk, so that the set of known chunks grows while the other thread looks its
// blocks up there. False at the first block that is wrong.
bool Churn(unsigned seed, int steps, std::vector<Block>& live) {
    std::mt19937 rng(seed);
    for (int i = 0; i < steps; ++i) {
        unsigned op = rng() % 8;
        if (op < 5 || live.empty()) {
            Block b = {nullptr, 1 + rng() % 300, static_cast<unsigned char>(rng())};
            if (!(b.p = static_cast<unsigned char*>(zrPoolAlloc(b.n)))) return false;
            memset(b.p, b.tag, b.n);
            live.push_back(b);
            continue;
        }
        Block& b = live[rng() % live.size()];
        if (!Intact(b, b.n)) return false;
        if (op < 7) {
            size_t n = 1 + rng() % 300;
            unsigned char* q = static_cast<unsigned char*>(zrPoolResize(b.p, n));
            if (!q) return false;
            b.p = q;
            if (!Intact(b, n < b.n ? n : b.n)) return false;
            b.n = n;
            memset(b.p, b.tag, b.n);
        } else {
            zrPoolFree(b.p);
            b = live.back();
            live.pop_back();
        }
    }
    return true;
}

}  // namespace

// The thread in the arena and the main thread share the chunk source and the set of known
// chunks and nothing else; once merged, the arena's blocks are freed by the main thread.
TEST(Platform, PoolArenaBesideThePool) {
    const int kSteps = 1000000;  // some 500,000 blocks and 40 chunks each
    std::vector<Block> mine, theirs;
    ZrPoolArena* arena = zrPoolArenaNew();
    bool theirsOk = false;
    std::thread other([&] {
        if (!arena) return;
        zrPoolArenaBegin(arena);
        theirsOk = Churn(2, kSteps, theirs);
        for (const Block& b : theirs) theirsOk = theirsOk && Intact(b, b.n);
        zrPoolArenaEnd();
    });
    bool mineOk = Churn(1, kSteps, mine);
    other.join();
    EXPECT_TRUE(mineOk);
    if (!arena) {
        for (const Block& b : mine) zrPoolFree(b.p);
        GTEST_SKIP() << "no arenas in this build";
    }
    EXPECT_TRUE(theirsOk);
    zrPoolArenaMerge(arena);
    // Blocks of both, freed and made again by one thread.
    mine.insert(mine.end(), theirs.begin(), theirs.end());
    EXPECT_TRUE(Churn(3, kSteps / 4, mine));
    for (const Block& b : mine) {
        ASSERT_TRUE(Intact(b, b.n));
        zrPoolFree(b.p);
    }
}
