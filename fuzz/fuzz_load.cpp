// Fuzz target: arbitrary bytes as a registry file; what loads must write back and load again.
#include <stdint.h>

#include "fuzzutil.h"
#include "regscan.h"

// A token longer than the scanner's limit ends the process by design; shorter inputs
// cannot hold one.
static const size_t kMaxInput = 9000;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceStdout();
    RemoveFuzzDirAtExit("fuzz.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    std::string path = FuzzDir() + "/fuzz.reg";
    WriteBytes(path, data, size);

    // Token by token, the loader reading the file itself, first: whole lines read by its
    // reader thread must give the same result and tree.
    RegViewSetWholeLines(false);
    RegViewReadAheadFrom(1LL << 62);
    uint32_t slowRc = ZrLoadRegistry(path.c_str());
    std::string slowTree = slowRc == 0 ? Dump() : std::string();
    RegViewSetChanged(false);
    ZrUnloadRegistry();
    RegViewSetWholeLines(true);

    // Whole lines on each scan path that the processor has: the same result and tree.
    for (int scan : {YYSCAN_SCALAR, YYSCAN_SSE2, YYSCAN_AVX2, YYSCAN_NEON}) {
        if (!yyscanpath(scan)) continue;
        uint32_t scanRc = ZrLoadRegistry(path.c_str());
        FUZZ_CHECK(scanRc == slowRc);
        FUZZ_CHECK(scanRc != 0 || Dump() == slowTree);
        RegViewSetChanged(false);
        ZrUnloadRegistry();
    }
    yyscanpath(YYSCAN_BEST);

    // In two parts, the second from a key head near the middle: the same result and tree.
    RegViewPartFrom(0);
    uint32_t partRc = ZrLoadRegistry(path.c_str());
    FUZZ_CHECK(partRc == slowRc);
    FUZZ_CHECK(partRc != 0 || Dump() == slowTree);
    RegViewSetChanged(false);
    ZrUnloadRegistry();
    RegViewPartFrom(1LL << 62);
    RegViewReadAheadFrom(0);

    uint32_t rc = ZrLoadRegistry(path.c_str());
    FUZZ_CHECK(rc == slowRc);
    if (rc != 0) {
        FUZZ_CHECK(rc == 1);  // nothing but a syntax error can fail with memory to spare
        FUZZ_CHECK(!RegViewRoot() && !HkeyRegRoot());
        FUZZ_CHECK(ReadBytes(path).size() == size);  // a failed load writes nothing
        return 0;
    }
    std::string tree = Dump();
    FUZZ_CHECK(tree == slowTree);
    RegViewSetChanged(true);
    ZrUnloadRegistry();
    FUZZ_CHECK(!RegViewRoot() && !HkeyRegRoot());
    std::string first = ReadBytes(path);

    FUZZ_CHECK(ZrLoadRegistry(path.c_str()) == 0);
    FUZZ_CHECK(Dump() == tree);
    RegViewSetChanged(true);
    ZrUnloadRegistry();
    FUZZ_CHECK(ReadBytes(path) == first);
    return 0;
}
