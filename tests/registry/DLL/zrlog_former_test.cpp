// A change log of the former format that a crash of that release left: the first process to
// find it alone applies the records that check out, writes them into the registry file and
// goes on with a log of this format; while an older build still holds it, it is left alone.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>

#include "testutil.h"
#include "zrlogp.h"
#include "zrlogtest.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K0 ( )\n)\n";

uint64_t Word(const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

uint64_t Mix(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 32);
}

// The former format's check word of the record's bytes behind it, as that release made it.
uint32_t FormerCheck(const unsigned char* p, size_t n) {
    uint64_t a = 0x9E3779B97F4A7C15ull ^ n, b = 0xC2B2AE3D27D4EB4Full, c = 0x165667B19E3779F9ull,
             d = 0x27D4EB2F165667C5ull;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = Mix(a, Word(p + i));
        b = Mix(b, Word(p + i + 8));
        c = Mix(c, Word(p + i + 16));
        d = Mix(d, Word(p + i + 24));
    }
    for (; i + 8 <= n; i += 8) a = Mix(a, Word(p + i));
    uint64_t h = a ^ ((b << 17) | (b >> 47)) ^ ((c << 31) | (c >> 33)) ^ ((d << 47) | (d >> 17));
    h = (h ^ (h >> 29)) * 0xFF51AFD7ED558CCDull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// A set of the integer value `name` of K0: a head of 40 bytes (size, check, the record's
// number, op, type, the texts' lengths), the key's path and the name with their NULs, the data.
std::string FormerSet(uint64_t serial, const char* name, int32_t v) {
    const char path[] = "My Computer/K0";
    uint32_t head[10] = {0,
                         0,
                         static_cast<uint32_t>(serial),
                         static_cast<uint32_t>(serial >> 32),
                         RC_SET,
                         ZRREG_TYPE_DWORD,
                         static_cast<uint32_t>(strlen(path)),
                         static_cast<uint32_t>(strlen(name)),
                         4,
                         0};
    std::string r(reinterpret_cast<const char*>(head), sizeof head);
    r += std::string(path) + '\0' + name + '\0' + std::string(reinterpret_cast<const char*>(&v), 4);
    r.resize((r.size() + 7) & ~size_t(7), '\0');
    uint32_t size = static_cast<uint32_t>(r.size());
    uint32_t check = FormerCheck(reinterpret_cast<const unsigned char*>(r.data()) + 8, r.size() - 8);
    memcpy(&r[0], &size, 4);
    memcpy(&r[4], &check, 4);
    return r;
}

// The log that a process of the former release left when it was killed after setting a = 1,
// b = 2 and c = 3: its header (laid out as now, with the former version), its records, and
// the zeros of its room.
std::string FormerLog(const std::string& reg, std::vector<size_t>* starts) {
    std::string records;
    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        starts->push_back(kHeaderBytes + records.size());
        records += FormerSet(i + 1, names[i], i + 1);
    }
    LogHeader h = {};
    memcpy(h.magic, kMagic, 8);
    h.version = kVersionBefore;
    h.headerBytes = kHeaderBytes;
    h.lockKind = LOCK_MUTEX;
    h.moves = 4;
    h.committed = kHeaderBytes + records.size();
    h.serial = 3;
    h.epoch = 1;
    ZrFileStamp f;
    EXPECT_TRUE(zrStampOf(reg.c_str(), &f));
    h.base = LogStamp{f.device, f.file, f.size, f.mtimeNs};
    strcpy(h.owner, "reg.txt");
    std::string log(reinterpret_cast<const char*>(&h), sizeof h);
    log.resize(kHeaderBytes, '\0');
    log += records;
    log.resize(kHeaderBytes + kFirstRoom, '\0');
    return log;
}

// A fresh registry file of kBase in `dir`, and the bytes of a former log of three sets for it
// with each record's start: not yet written, so that a case may cut or damage them first.
struct FormerFiles {
    std::string reg, log, bytes;
    std::vector<size_t> starts;
};

FormerFiles MakeFormerFiles(const TempDir& dir) {
    ResetRegistry();
    FormerFiles f;
    f.reg = dir.File("reg.txt");
    f.log = f.reg + "-log";
    WriteBytes(f.reg, kBase);
    f.bytes = FormerLog(f.reg, &f.starts);
    return f;
}

uint32_t VersionIn(const std::string& log) {
    std::string bytes = ReadBytes(log);
    uint32_t v = 0;
    if (bytes.size() >= 12) memcpy(&v, &bytes[8], 4);
    return v;
}

// Cut or damaged as a crash of the machine may leave it: what checks out is kept.
TEST(LogFormer, ItsRecordsGoIntoTheFileAndTheLogGoesOn) {
    struct Case {
        const char* name;
        int damaged;  // the record (1-3) cut or whose check word is damaged, 0: none
        bool cut;
        const char* said;
        const char* tree;
    };
    const Case cases[] = {
        {"whole", 0, false, "the 3 changes in its change log of the former format 2 were written into it",
         "    a = 1\n    b = 2\n    c = 3\n"},
        {"cut in its last record", 3, true, "record 3 is cut or damaged; the 2 changes before it are kept",
         "    a = 1\n    b = 2\n"},
        {"a damaged check word", 2, false, "record 2 is cut or damaged; the 1 changes before it are kept",
         "    a = 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        FormerFiles f = MakeFormerFiles(dir);
        const std::string &reg = f.reg, &log = f.log;
        if (c.damaged && c.cut) f.bytes.resize(f.starts[c.damaged - 1] + 20);
        if (c.damaged && !c.cut) f.bytes[f.starts[c.damaged - 1] + 5] ^= 0x10;
        WriteBytes(log, f.bytes);
        CaptureStdout();
        ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
        std::string said = GetCapturedStdout();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(VersionIn(log), kVersion);
        EXPECT_EQ(SetDw("d", 4), 0);
        EXPECT_NE(ReadBytes(reg), kBase);  // written at the load, not left to the unload
        ZrUnloadRegistry();
        EXPECT_EQ(TreeInFile(reg), std::string("[My Computer]\n  [K0]\n") + c.tree + "    d = 4\n");
        EXPECT_FALSE(fs::exists(log));
    }
}

// An older build still holds the log: a load goes on without it and leaves it as it is; once
// that process is gone, the next load applies its records on top of what the first wrote.
TEST(LogFormer, AnOlderBuildThatHoldsItKeepsIt) {
    TempDir dir;
    FormerFiles f = MakeFormerFiles(dir);
    const std::string &reg = f.reg, &log = f.log, &bytes = f.bytes;
    WriteBytes(log, bytes);
    ZrCompanion* older = nullptr;
    ASSERT_EQ(zrCompanionOpen(log.c_str(), reg.c_str(), &older), ZR_COMPANION_OPENED);
    ASSERT_TRUE(zrCompanionLock(older, ZR_RANGE_LIVE, false, true));
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
    std::string said = GetCapturedStdout();
    EXPECT_NE(said.find("a change log of the library's former format 2, which another process (an older "
                        "build) still uses"),
              std::string::npos)
        << said;
    EXPECT_EQ(GetDw("a"), -1);
    EXPECT_EQ(SetDw("d", 4), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(ReadBytes(log), bytes);
    zrCompanionClose(older);
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
    said = GetCapturedStdout();
    EXPECT_NE(said.find("the 3 changes in"), std::string::npos) << said;
    EXPECT_EQ(GetDw("a") + GetDw("b") + GetDw("c") + GetDw("d"), 10);
    ZrUnloadRegistry();
    EXPECT_FALSE(fs::exists(log));
}

}  // namespace
#endif
