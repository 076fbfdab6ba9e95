// A crash-left change log whose header says what cannot be: the next load keeps the records
// that check out, says what it dropped, and the log goes on from there.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regp.h"
#include "testutil.h"
#include "zrplat.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K ( )\n)\n";

// Where the header keeps its fields.
const long kLockKind = 16, kEndMark = 24, kSerial = 32, kEpoch = 40;

int32_t SetText(const char16_t* name, const char* text) {
    void* h = nullptr;
    if (ZrRegCreateKey(HkeyRegRoot(), WP(u"K"), &h) != 0) return -1;
    int32_t rc = ZrRegSetValueEx(h, WP(name), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>(text),
                                 static_cast<uint32_t>(strlen(text) + 1));
    ZrRegCloseKey(h);
    return rc;
}

bool Killed(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFSIGNALED(status);
}

void Poke(const std::string& path, long at, uint64_t value, size_t bytes) {
    FILE* fp = fopen(path.c_str(), "r+b");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(fseek(fp, at, SEEK_SET), 0);
    ASSERT_EQ(fwrite(&value, bytes, 1, fp), 1u);
    fclose(fp);
}

// A host makes three changes and is killed; the header is damaged; the next host recovers
// the log (saying so once), makes a fourth change and is killed too; a load then holds all
// four.
TEST(LogHeader, WhatCannotBeIsNotBelieved) {
    struct Case {
        const char* name;
        long at;
        uint64_t value;
        size_t bytes;
        const char* said;
    };
    const Case cases[] = {
        {"an end mark inside the header", kEndMark, 100, 8, "its end mark is damaged"},
        {"an end mark beyond the log's room", kEndMark, uint64_t(1) << 40, 8, "its end mark is damaged"},
        {"an end mark between two records", kEndMark, 4096 + 3, 8, "its end mark is damaged"},
        {"a record number that is not the last record's", kSerial, 1000, 8, "its record number is damaged"},
        {"an epoch that never was", kEpoch, 0, 8, "its epoch is damaged"},
        {"a lock of no known kind", kLockKind, 77, 4, "its lock is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRegistry();
        TempDir dir;
        std::string reg = dir.File("reg.txt");
        WriteBytes(reg, kBase);
        fflush(stdout);
        pid_t first = fork();
        if (first == 0) {
            if (ZrLoadRegistry(reg.c_str()) != 0 || SetText(u"a", "1") || SetText(u"b", "2") ||
                SetText(u"c", "3"))
                _exit(2);
            raise(SIGKILL);
        }
        ASSERT_TRUE(Killed(first));
        Poke(reg + "-log", c.at, c.value, c.bytes);
        pid_t second = fork();
        if (second == 0) {
            CaptureStdout();
            if (ZrLoadRegistry(reg.c_str()) != 0) _exit(2);
            WriteBytes(dir.File("said"), GetCapturedStdout());
            if (SetText(u"d", "4") != 0) _exit(4);
            raise(SIGKILL);
        }
        ASSERT_TRUE(Killed(second));
        std::string said = ReadBytes(dir.File("said"));
        EXPECT_NE(said.find(std::string(c.said) + "; the 3 changes that check out are kept"),
                  std::string::npos)
            << said;
        fs::remove(dir.File("said"));
        CaptureStdout();
        ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
        EXPECT_EQ(GetCapturedStdout(), "");
        ZrUnloadRegistry();
        EXPECT_EQ(TreeInFile(reg),
                  "[My Computer]\n  [K]\n    a = \"1\"\n    b = \"2\"\n    c = \"3\"\n    d = \"4\"\n");
    }
}

}  // namespace
#endif
