// Eight threads calling the exported functions at once on overlapping keys, checked
// against what each of them wrote; scripts/test runs it under ThreadSanitizer too.
#include <stdint.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"
#include "zrplat.h"

namespace {

const int kThreads = 8;
const int kSharedKeys = 3;  // Shared\K0..K2, which every thread sets, reads and deletes
// Value and subkey names v0..v11 and s0..s11: lists long enough for a name index, which
// the first lookup builds under the shared lock.
const int kNames = 12;
// A key deeper than a search keeps on the stack: its searches share one buffer.
const int kDeep = 40;

// How long the threads run: ZR_STRESS_MS, or one second.
std::chrono::milliseconds StressTime() {
    const char* e = getenv("ZR_STRESS_MS");
    return std::chrono::milliseconds(e ? atoi(e) : 1000);
}

std::u16string Name(char kind, int i) { return W(std::string(1, kind) + std::to_string(i)); }

// Every text that a thread writes is "t<thread>:<n>", its integers thread * 2^24 + n, with
// n counting that thread's writes; `written[t]` is published before the write.
std::atomic<uint32_t> written[kThreads];

bool OneOfOurs(const std::u16string& text) {
    unsigned t = 0, n = 0;
    std::string s(text.begin(), text.end());
    char tail;
    if (sscanf(s.c_str(), "t%u:%u%c", &t, &n, &tail) != 2 || t >= kThreads) return false;
    return n <= written[t].load();
}

bool OneOfOurs(uint32_t v) { return (v >> 24) < kThreads && (v & 0xFFFFFF) <= written[v >> 24].load(); }

// What one thread changed under its own key: the run must leave exactly this.
struct OwnModel {
    std::map<std::u16string, std::u16string> texts;
    std::map<std::u16string, uint32_t> ints;
    std::set<std::u16string> subkeys;
};

struct Worker {
    int id;
    std::mt19937 rnd;
    OwnModel model;
    long calls = 0;
    std::vector<std::string> faults;

    void Fault(const std::string& what) {
        if (faults.size() < 10) faults.push_back("thread " + std::to_string(id) + ": " + what);
    }

    uint32_t Next() { return written[id].fetch_add(1) + 1; }

    std::u16string SharedPath(int k) { return W("Shared\\K" + std::to_string(k)); }

    void Run(std::chrono::steady_clock::time_point end) {
        void* own = nullptr;
        std::u16string ownPath = W("Own" + std::to_string(id));
        if (ZrRegCreateKey(HkeyRegRoot(), WP(ownPath), &own) != ZRREG_SUCCESS) return Fault("own key");
        while (std::chrono::steady_clock::now() < end) {
            for (int i = 0; i < 64; ++i) Step(own);
        }
        ZrRegCloseKey(own);
    }

    void Step(void* own) {
        ++calls;
        int k = static_cast<int>(rnd() % kSharedKeys);
        std::u16string value = Name('v', static_cast<int>(rnd() % kNames));
        std::u16string sub = Name('s', static_cast<int>(rnd() % kNames));
        switch (rnd() % 13) {
            case 0: {  // a text on a shared key, made when missing
                void* h;
                if (ZrRegCreateKey(HkeyRegRoot(), WP(SharedPath(k)), &h) != ZRREG_SUCCESS) break;
                std::string t = "t" + std::to_string(id) + ":" + std::to_string(Next());
                if (ZrRegSetValueEx(h, WP(value), ZRREG_TYPE_SZ,
                                    reinterpret_cast<const unsigned char*>(t.c_str()),
                                    static_cast<uint32_t>(t.size() + 1)) != ZRREG_SUCCESS)
                    Fault("set on a held key");
                ZrRegCloseKey(h);
                break;
            }
            case 1: {  // an integer on a shared key, through a handle that may die meanwhile
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(SharedPath(k)), 0, &h) != ZRREG_SUCCESS) break;
                uint32_t v = (static_cast<uint32_t>(id) << 24) | Next();
                int32_t rc = ZrRegSetValueEx(h, WP(value), ZRREG_TYPE_DWORD,
                                             reinterpret_cast<const unsigned char*>(&v), 4);
                if (rc != ZRREG_SUCCESS) Fault("set dword: " + std::to_string(rc));
                ZrRegCloseKey(h);
                break;
            }
            case 2: {  // read a shared value in one call
                unsigned short* text = nullptr;
                uint32_t rc = ZrRegQueryValueSz(HkeyRegRoot(), WP(SharedPath(k)), WP(value), nullptr, &text);
                if (rc == ZRREG_SUCCESS && !OneOfOurs(std::u16string(reinterpret_cast<char16_t*>(text))))
                    Fault("read a text nobody wrote");
                free(text);
                uint32_t v = 0;
                ZrRegQueryValueDw(HkeyRegRoot(), WP(SharedPath(k)), WP(value), 0, &v);
                if (v != 0 && !OneOfOurs(v)) Fault("read an integer nobody wrote");
                unsigned char data[64];
                uint32_t type = 0, cb = sizeof data;
                if (ZrRegGetValue(HkeyRegRoot(), WP(SharedPath(k)), WP(value), ZRREG_RT_SZ, &type, data,
                                  &cb) == ZRREG_SUCCESS &&
                    !OneOfOurs(std::u16string(reinterpret_cast<char16_t*>(data))))
                    Fault("got a text nobody wrote");
                break;
            }
            case 3: {  // read through a handle, with a buffer too small for long texts
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(SharedPath(k)), 0, &h) != ZRREG_SUCCESS) break;
                unsigned char data[64];
                uint32_t type = 0, cb = sizeof data;
                int32_t rc = ZrRegQueryValueEx(h, WP(value), &type, data, &cb);
                if (rc == ZRREG_SUCCESS && type == ZRREG_TYPE_SZ &&
                    !OneOfOurs(std::u16string(reinterpret_cast<char16_t*>(data))))
                    Fault("queried a text nobody wrote");
                if (rc == ZRREG_SUCCESS && type == ZRREG_TYPE_DWORD) {
                    uint32_t v;
                    memcpy(&v, data, 4);
                    if (!OneOfOurs(v)) Fault("queried an integer nobody wrote");
                }
                unsigned short name[256];
                for (uint32_t i = 0;; ++i) {
                    uint32_t cch = 256;
                    cb = sizeof data;
                    if (ZrRegEnumValue(h, i, name, &cch, &type, data, &cb) != ZRREG_SUCCESS) break;
                    if (type == ZRREG_TYPE_SZ &&
                        !OneOfOurs(std::u16string(reinterpret_cast<char16_t*>(data))))
                        Fault("enumerated a text nobody wrote");
                }
                uint32_t values = 0;
                if (ZrRegQueryInfoKey(h, nullptr, nullptr, &values, nullptr, nullptr) == ZRREG_SUCCESS &&
                    values > kNames)
                    Fault("too many values");
                ZrRegCloseKey(h);
                break;
            }
            case 4: {  // enumerate the shared keys: only names some thread made
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("Shared")), 0, &h) != ZRREG_SUCCESS)
                    return Fault("open Shared");
                unsigned short name[256];
                for (uint32_t i = 0;; ++i) {
                    uint32_t cb = 256;
                    if (ZrRegEnumKeyEx(h, i, name, &cb) != ZRREG_SUCCESS) break;
                    std::string n(name, name + cb);
                    if (n.size() != 2 || n[0] != 'K' || n[1] < '0' || n[1] >= '0' + kSharedKeys)
                        Fault("enumerated " + n);
                }
                if (ZrRegCountSubKeys(h) > kSharedKeys) Fault("too many shared keys");
                ZrRegCloseKey(h);
                break;
            }
            case 5: {  // delete a shared key or one of its values
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("Shared")), 0, &h) != ZRREG_SUCCESS) break;
                std::u16string name = W("K" + std::to_string(k));
                int32_t rc = rnd() % 2 ? ZrRegDeleteKey(h, WP(name)) : ZrRegDeleteTree(h, WP(name));
                if (rc != ZRREG_SUCCESS && rc != ZRREG_NOT_FOUND && rc != ZRREG_KEY_BUSY)
                    Fault("delete key: " + std::to_string(rc));
                ZrRegCloseKey(h);
                break;
            }
            case 6: {
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(SharedPath(k)), 0, &h) != ZRREG_SUCCESS) break;
                ZrRegDeleteValue(h, WP(value));
                ZrRegCloseKey(h);
                break;
            }
            case 7: {  // the predefined handles: one handle whoever makes it
                void* a = HkeyHKCU();
                void* b = HkeyHKCU();
                if (!a || a != b) Fault("HKCU handle changed");
                break;
            }
            case 8: {  // own text
                std::string t = "t" + std::to_string(id) + ":" + std::to_string(Next());
                if (ZrRegSetValueEx(own, WP(value), ZRREG_TYPE_SZ,
                                    reinterpret_cast<const unsigned char*>(t.c_str()),
                                    static_cast<uint32_t>(t.size() + 1)) != ZRREG_SUCCESS)
                    return Fault("own set");
                model.ints.erase(value);
                model.texts[value] = W(t);
                break;
            }
            case 9: {  // own integer, or delete an own value
                if (rnd() % 2) {
                    uint32_t v = (static_cast<uint32_t>(id) << 24) | Next();
                    if (ZrRegSetValueEx(own, WP(value), ZRREG_TYPE_DWORD,
                                        reinterpret_cast<const unsigned char*>(&v), 4) != ZRREG_SUCCESS)
                        return Fault("own set dword");
                    model.texts.erase(value);
                    model.ints[value] = v;
                } else {
                    bool had = model.texts.erase(value) + model.ints.erase(value) > 0;
                    if ((ZrRegDeleteValue(own, WP(value)) == ZRREG_SUCCESS) != had) Fault("own delete value");
                }
                break;
            }
            case 10: {  // own subkey made or deleted
                if (rnd() % 2) {
                    void* h;
                    if (ZrRegCreateKey(own, WP(sub), &h) != ZRREG_SUCCESS) return Fault("own create");
                    ZrRegCloseKey(h);
                    model.subkeys.insert(sub);
                } else {
                    bool had = model.subkeys.erase(sub) > 0;
                    if ((ZrRegDeleteKey(own, WP(sub)) == ZRREG_SUCCESS) != had) Fault("own delete key");
                }
                break;
            }
            case 12: {  // the deep key, by path and through a handle
                std::u16string path = u"Deep";
                for (int i = 0; i < kDeep; ++i) path += u"\\l";
                void* h;
                if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(path), 0, &h) != ZRREG_SUCCESS)
                    return Fault("open deep");
                uint32_t v = 0;
                ZrRegQueryValueDw(h, nullptr, WP(u"d"), 0, &v);
                if (v != 7) Fault("deep value");
                ZrRegCloseKey(h);
                break;
            }
            case 11: {  // own value read back
                uint32_t v = 0;
                ZrRegQueryValueDw(own, nullptr, WP(value), 0, &v);
                auto it = model.ints.find(value);
                if (v != (it == model.ints.end() ? 0 : it->second)) Fault("own integer differs");
                break;
            }
        }
    }

    // The thread's key as the tree holds it equals its model.
    void Check() {
        void* own = nullptr;
        if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("Own" + std::to_string(id))), 0, &own) != ZRREG_SUCCESS)
            return Fault("own key gone");
        for (int i = 0; i < kNames; ++i) {
            std::u16string n = Name('v', i);
            unsigned short* text = nullptr;
            uint32_t rc = ZrRegQueryValueSz(own, nullptr, WP(n), nullptr, &text);
            auto t = model.texts.find(n);
            if ((rc == ZRREG_SUCCESS) != (t != model.texts.end()) ||
                (text && std::u16string(reinterpret_cast<char16_t*>(text)) != t->second))
                Fault("own text differs after the run");
            free(text);
            uint32_t v = 0;
            ZrRegQueryValueDw(own, nullptr, WP(n), 0, &v);
            auto d = model.ints.find(n);
            if (v != (d == model.ints.end() ? 0 : d->second)) Fault("own integer differs after the run");
        }
        std::set<std::u16string> subs;
        unsigned short name[256];
        for (uint32_t i = 0;; ++i) {
            uint32_t cb = 256;
            if (ZrRegEnumKeyEx(own, i, name, &cb) != ZRREG_SUCCESS) break;
            subs.insert(std::u16string(name, name + cb));
        }
        if (subs != model.subkeys) Fault("own subkeys differ after the run");
        ZrRegCloseKey(own);
    }
};

TEST(Threads, EightThreadsKeepEveryInvariant) {
    TempDir dir;
    std::string file = dir.File("stress.reg");
    WriteBytes(file, "KEY \"My Computer\"\n(\n    KEY Shared\n    (\n    )\n)\n");
    ASSERT_EQ(ZrLoadRegistry(file.c_str()), ZRREG_LOAD_OK);
    for (auto& w : written) w = 0;
    std::u16string deep = u"Deep";
    for (int i = 0; i < kDeep; ++i) deep += u"\\l";
    void* h;
    ASSERT_EQ(ZrRegCreateKey(HkeyRegRoot(), WP(deep), &h), ZRREG_SUCCESS);
    uint32_t seven = 7;
    ASSERT_EQ(ZrRegSetValueEx(h, WP(u"d"), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&seven), 4),
              ZRREG_SUCCESS);
    ASSERT_EQ(ZrRegCloseKey(h), ZRREG_SUCCESS);

    std::vector<Worker> workers;
    for (int t = 0; t < kThreads; ++t) workers.push_back(Worker{t, std::mt19937(1234u + t), {}, 0, {}});
    auto end = std::chrono::steady_clock::now() + StressTime();
    std::vector<std::thread> threads;
    for (auto& w : workers) threads.emplace_back([&w, end] { w.Run(end); });
    for (auto& t : threads) t.join();

    long calls = 0;
    for (auto& w : workers) {
        w.Check();
        calls += w.calls;
    }
    // The file written back holds the same.
    ZrUnloadRegistry();
    ASSERT_EQ(ZrLoadRegistry(file.c_str()), ZRREG_LOAD_OK);
    for (auto& w : workers) {
        w.Check();
        for (auto& f : w.faults) ADD_FAILURE() << f;
    }
    ZrUnloadRegistry();
    printf("stress: %d threads, %ld operations in %lld ms\n", kThreads, calls,
           static_cast<long long>(StressTime().count()));
}

// Threads hold thousands of handles at once and close them, so that the handle table
// grows and reuses slots while the others look tokens up: live handles reach their key,
// closed ones are refused whoever holds their slot now (ThreadSanitizer checks the table).
TEST(Threads, DeadHandlesAreRefusedWhileOthersReuseTheirSlots) {
    TempDir dir;
    std::string file = dir.File("handles.reg");
    WriteBytes(file, "KEY \"My Computer\" ( KEY Shared ( KEY A ( ) ) )\n");
    ASSERT_EQ(ZrLoadRegistry(file.c_str()), ZRREG_LOAD_OK);
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            std::vector<void*> held(1500), closed;
            for (int round = 0; round < 6; ++round) {
                for (void*& h : held) faults += ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"Shared"), 0, &h) != 0;
                // The slots of the handles closed last round hold some of these now.
                for (void* h : closed)
                    faults += ZrRegCountSubKeys(h) != 0xFFFFFFFFu || ZrRegCloseKey(h) != ZRREG_INVALID_HANDLE;
                for (void* h : held) faults += ZrRegCountSubKeys(h) != 1 || ZrRegCloseKey(h) != 0;
                closed = held;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(ZrRegDeleteKey(HkeyRegRoot(), WP(u"Shared")), ZRREG_SUCCESS);  // every open was counted down
    ZrUnloadRegistry();
}

// One thread loads files that say something while another replaces the message handler, the
// two handlers by turns: every message reaches the one handler set at the time, none after
// its replacement returned, and none is printed (ThreadSanitizer checks the handler's words).
TEST(Threads, TheMessageHandlerIsReplacedWhileLoadsSpeak) {
    struct Ear {
        std::atomic<long> heard{0};
        std::atomic<bool> retired{true};
        std::atomic<long> late{0};
        static void ZRREG_CALL Hear(void* context, uint32_t, uint32_t, const char*) {
            Ear* e = static_cast<Ear*>(context);
            ++e->heard;
            if (e->retired.load()) ++e->late;
        }
    } ears[2];
    TempDir dir;
    const std::string bad = dir.File("bad.reg"), tooLong = dir.File("long.reg");
    WriteBytes(bad, "KEY \"My Computer\"\n(\n  [REG_SZ] = ;\n)\n");
    WriteBytes(tooLong, "KEY \"My Computer\"\n(\n  [REG_SZ] a = \"" + std::string(12000, 'x') + "\";\n)\n");
    ears[0].retired = false;
    ZrSetMessageHandler(Ear::Hear, &ears[0]);
    std::atomic<bool> done{false};
    std::atomic<long> loads{0}, wrong{0};
    testing::internal::CaptureStdout();
    std::thread loader([&] {
        for (int i = 0; i < 400; ++i) {
            wrong += ZrLoadRegistry(i % 2 ? bad.c_str() : tooLong.c_str()) != ZRREG_LOAD_REFUSED;
            ++loads;
        }
        done = true;
    });
    for (int turn = 1; !done.load(); ++turn) {
        Ear& next = ears[turn % 2];
        Ear& last = ears[(turn + 1) % 2];
        next.retired = false;
        ZrSetMessageHandler(Ear::Hear, &next);
        last.retired = true;
        std::this_thread::yield();
    }
    loader.join();
    ZrSetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ears[0].heard + ears[1].heard, loads.load());
    EXPECT_EQ(ears[0].late + ears[1].late, 0);
}

// A host's first thread calls without locks until a second thread calls; the second one
// must then see everything the first wrote, and from then on both lock. The switch
// happens once per process, so each round runs in a process of its own, the second
// thread starting after a different number of the first one's calls. The process is
// forked (the 32-bit build's emulator cannot start it anew), except under
// ThreadSanitizer, which starts no thread in a child forked from threads.
void LoneThenShared(const std::string& file, int callsBefore) {
    zrThreadsForget();
    auto fail = [](const char* what) {
        fprintf(stderr, "%s\n", what);
        _exit(1);
    };
    if (ZrLoadRegistry(file.c_str()) != ZRREG_LOAD_OK) fail("load");
    void* h;
    if (ZrRegCreateKey(HkeyRegRoot(), WP(u"Lone"), &h) != ZRREG_SUCCESS) fail("create");
    if (zrTreeLocking()) fail("a lone thread locks");
    std::atomic<uint32_t> last{0};
    std::atomic<bool> started{false}, done{false};
    uint32_t seen = 0, theirs = 0;
    std::thread second;
    for (uint32_t i = 1; !done.load(); ++i) {
        if (ZrRegSetValueEx(h, WP(u"n"), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&i), 4) !=
            ZRREG_SUCCESS)
            fail("set n");
        last.store(i, std::memory_order_relaxed);  // no ordering that the library must give
        if (static_cast<int>(i) == callsBefore) {
            started = true;
            second = std::thread([&] {
                uint32_t before = last.load(std::memory_order_relaxed), type, cb = 4, mine = 77;
                if (ZrRegQueryValueEx(h, WP(u"n"), &type, reinterpret_cast<unsigned char*>(&seen), &cb) !=
                        ZRREG_SUCCESS ||
                    seen < before)
                    seen = 0;
                ZrRegSetValueEx(h, WP(u"m"), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&mine), 4);
                done = true;
            });
        }
    }
    second.join();
    uint32_t type, cb = 4;
    if (ZrRegQueryValueEx(h, WP(u"m"), &type, reinterpret_cast<unsigned char*>(&theirs), &cb) !=
            ZRREG_SUCCESS ||
        theirs != 77)
        fail("the second thread's value is missing");
    if (seen == 0 || seen > last.load()) fail("the second thread read a value older than the last set");
    if (!zrTreeLocking()) fail("two threads and no locks");
    ZrRegCloseKey(h);
    ZrUnloadRegistry();
    _exit(started ? 0 : 1);
}

TEST(Threads, ALoneThreadLocksOnlyOnceASecondOneCalls) {
#ifdef ZR_TSAN_BUILD
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#else
    GTEST_FLAG_SET(death_test_style, "fast");
#endif
    TempDir dir;
    std::string file = dir.File("lone.reg");
    WriteBytes(file, "KEY \"My Computer\"\n(\n)\n");
    for (int callsBefore : {1, 2, 3, 10, 100, 1000, 5000, 20000})
        EXPECT_EXIT(LoneThenShared(file, callsBefore), testing::ExitedWithCode(0), "") << callsBefore;
}

// What a load of `path` gives: its result, its messages and the tree it built.
std::string LoadResult(const std::string& path) {
    testing::internal::CaptureStdout();
    unsigned rc = LoadRegistry(path.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    std::string r = std::to_string(rc) + "\n" + out + (RootNode ? DumpTree(RootNode, false) : "");
    bRegChanged = 0;
    UnloadRegistry();
    return r;
}

// The loader's reader thread hands the scanner blocks of its own size. Every golden file,
// placed so that it straddles the end of one of those blocks or of the scanner's own at
// several points, and a file of many blocks with texts longer than a block, must load
// exactly as when the loader reads for itself.
TEST(ReadAhead, LoadsExactlyWhatTheLoaderReadingItselfLoads) {
    ResetRegistry();
    TempDir dir;
    std::string file = dir.File("ahead.reg");
    auto both = [&](const std::string& bytes) {
        WriteBytes(file, bytes);
        zrReadAheadFrom(1LL << 62);
        std::string alone = LoadResult(file);
        zrReadAheadFrom(0);
        std::string ahead = LoadResult(file);
        zrReadAheadFrom(-1);  // the default again
        return std::make_pair(alone, ahead);
    };
    int seen = 0;
    for (auto& e : fs::directory_iterator(fs::path(ZR_TEST_DATA) / "regfile")) {
        if (e.path().extension() != ".reg") continue;
        std::string golden = ReadBytes(e.path().string());
        for (size_t end : {size_t(ZR_AHEAD_BLOCK), size_t(2 * ZR_AHEAD_BLOCK), size_t(1) << 16})
            for (size_t before : {1, 2, 7, 40}) {
                if (before > golden.size()) continue;
                auto r = both(std::string(end - before, ' ') + golden);
                EXPECT_EQ(r.first, r.second)
                    << e.path().filename() << " crossing " << end << " after " << before;
            }
        ++seen;
    }
    EXPECT_GT(seen, 20);

    std::string big = "KEY \"My Computer\"\n(\n";
    std::mt19937 rnd(7);
    for (int k = 0; big.size() < 40 * ZR_AHEAD_BLOCK; ++k) {
        big += "    KEY k" + std::to_string(k) + "\n    (\n";
        for (int v = 0; v < 5; ++v) {
            size_t len = rnd() % 7 == 0 ? rnd() % 9999 : rnd() % 40;
            big +=
                "        [REG_SZ] \"v" + std::to_string(v) + "\" = \"" + std::string(len, 'a' + v) + "\";\n";
            big += "        [REG_INT] n" + std::to_string(v) + " = " +
                   std::to_string(static_cast<int>(rnd())) + ";\n";
        }
        big += "    )\n";
    }
    big += ")\n";
    auto r = both(big);
    EXPECT_EQ(r.first.substr(0, 2), "0\n");
    EXPECT_EQ(r.first, r.second);
}

}  // namespace
