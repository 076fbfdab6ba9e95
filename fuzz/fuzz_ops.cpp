// Fuzz target: a sequence of calls of the exported functions decoded from the input, on a
// loaded registry, followed by a write-back that must load again to the same tree.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzzutil.h"

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n    [REG_SZ] \"Name\" = \"text\";\n    KEY \"HKEY_LOCAL_MACHINE\"\n    (\n"
    "        KEY \"Software\"\n        (\n            [REG_INT] \"Count\" = 12;\n        )\n    )\n"
    "    KEY \"HKEY_CURRENT_USER\"\n    (\n        [REG_SZ] \"a/b\" = \"\";\n    )\n)\n";

typedef std::u16string WName;

const unsigned short* P(const WName& s) { return reinterpret_cast<const unsigned short*>(s.c_str()); }

// A name from the input: mostly its bytes as characters, with separators, characters of
// 256 and above, and names of 256 characters or more mixed in.
WName NextName(FuzzedDataProvider& in) {
    WName w;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return u"Software";
        case 1:
            return u"HKEY_LOCAL_MACHINE\\Software";
        case 2:
            w.assign(in.ConsumeIntegralInRange<size_t>(250, 300),
                     static_cast<char16_t>('a' + in.ConsumeIntegral<uint8_t>() % 26));
            return w;
        default:
            break;
    }
    std::string bytes = in.ConsumeRandomLengthString(24);
    for (unsigned char c : bytes) {
        if (c == 0xFF)
            w += static_cast<char16_t>(0x100 + in.ConsumeIntegral<uint8_t>());
        else if (c == 0xFE)
            w += u'\\';
        else
            w += static_cast<char16_t>(c);
    }
    return w;
}

class Session {
public:
    explicit Session(FuzzedDataProvider& in) : in_(in) {}
    ~Session() {
        for (void* h : open_) ZrRegCloseKey(h);
    }
    void Run() {
        while (in_.remaining_bytes() > 0) Step();
    }

private:
    void* Handle() {
        size_t n = open_.size() + 4;
        size_t i = in_.ConsumeIntegralInRange<size_t>(0, n - 1);
        if (i < open_.size()) return open_[i];
        switch (i - open_.size()) {
            case 0:
                return HkeyRegRoot();
            case 1:
                return HkeyHKLM();
            case 2:
                return HkeyHKCU();
            default:
                return HkeyArdoRoot();
        }
    }
    void Keep(void* h) {
        if (open_.size() < 16)
            open_.push_back(h);
        else
            FUZZ_CHECK(ZrRegCloseKey(h) == 0);
    }
    void Step() {
        void* h = Handle();
        if (!h) return;  // a predefined handle that could not be made
        switch (in_.ConsumeIntegralInRange<int>(0, 17)) {
            case 0: {
                void* r = nullptr;
                if (ZrRegCreateKey(h, P(NextName(in_)), &r) == 0) Keep(r);
                break;
            }
            case 1: {
                void* r = nullptr;
                if (ZrRegOpenKeyEx(h, P(NextName(in_)), 0, &r) == 0) Keep(r);
                break;
            }
            case 2:
                if (!open_.empty()) {
                    size_t i = in_.ConsumeIntegralInRange<size_t>(0, open_.size() - 1);
                    FUZZ_CHECK(ZrRegCloseKey(open_[i]) == 0);
                    open_.erase(open_.begin() + static_cast<long>(i));
                }
                break;
            case 3: {
                WName name = NextName(in_);
                std::string data = in_.ConsumeRandomLengthString(64);
                if (in_.ConsumeBool()) data.assign(in_.ConsumeIntegralInRange<size_t>(0, 20000), 'x');
                uint32_t type = in_.ConsumeIntegralInRange<uint32_t>(0, 5);
                uint32_t cb = static_cast<uint32_t>(data.size());
                if (type == 4)
                    data.resize(data.size() + 4);  // an integer is read as 4 bytes, whatever cb says
                ZrRegSetValueEx(h, P(name), type, reinterpret_cast<const unsigned char*>(data.data()), cb);
                break;
            }
            case 4: {
                int32_t v = in_.ConsumeIntegral<int32_t>();
                ZrRegSetValueEx(h, P(NextName(in_)), 4, reinterpret_cast<const unsigned char*>(&v), 4);
                break;
            }
            case 5:
                ZrRegDeleteKey(h, P(NextName(in_)));
                break;
            case 6:
                ZrRegDeleteValue(h, P(NextName(in_)));
                break;
            case 7: {
                // Exactly the room offered, on the heap, so that any write beyond it shows.
                uint32_t room = in_.ConsumeIntegralInRange<uint32_t>(0, 600), cb = room, type = 0;
                std::unique_ptr<unsigned char[]> buf(new unsigned char[room]);
                int32_t rc = ZrRegQueryValueEx(h, P(NextName(in_)), &type, buf.get(), &cb);
                FUZZ_CHECK(rc != 0 || cb <= room);
                break;
            }
            case 8: {
                std::unique_ptr<unsigned short[]> name(new unsigned short[256]);
                uint32_t cb = 0;
                ZrRegEnumKeyEx(h, in_.ConsumeIntegralInRange<uint32_t>(0, 20), name.get(), &cb);
                FUZZ_CHECK(cb < 256);
                break;
            }
            case 9:
                ZrRegCountSubKeys(h);
                break;
            case 10: {
                WName key = NextName(in_), value = NextName(in_), def = NextName(in_);
                unsigned short* s = nullptr;
                ZrRegQueryValueSz(h, in_.ConsumeBool() ? P(key) : nullptr, P(value),
                                  in_.ConsumeBool() ? P(def) : nullptr, &s);
                free(s);
                break;
            }
            case 11: {
                WName key = NextName(in_), value = NextName(in_);
                uint32_t v = 0;
                FUZZ_CHECK(ZrRegQueryValueDw(h, P(key), P(value), 7, &v) == 0);
                break;
            }
            case 12: {
                // Exactly the room offered for name and data, so that any write beyond it shows.
                uint32_t nameRoom = in_.ConsumeIntegralInRange<uint32_t>(1, 300), cch = nameRoom;
                uint32_t room = in_.ConsumeIntegralInRange<uint32_t>(0, 600), cb = room, type = 0;
                std::unique_ptr<unsigned short[]> name(new unsigned short[nameRoom]);
                std::unique_ptr<unsigned char[]> buf(new unsigned char[room]);
                int32_t rc = ZrRegEnumValue(h, in_.ConsumeIntegralInRange<uint32_t>(0, 20), name.get(), &cch,
                                            &type, buf.get(), &cb);
                FUZZ_CHECK(rc != 0 || (cch < nameRoom && cb <= room));
                break;
            }
            case 13: {
                uint32_t keys = 0, keyLen = 0, values = 0, valueLen = 0, data = 0;
                ZrRegQueryInfoKey(h, &keys, &keyLen, &values, &valueLen, &data);
                break;
            }
            case 14:
                ZrRegDeleteTree(h, in_.ConsumeBool() ? P(NextName(in_)) : nullptr);
                break;
            case 15: {
                WName key = NextName(in_), value = NextName(in_);
                uint32_t room = in_.ConsumeIntegralInRange<uint32_t>(0, 600), cb = room, type = 0;
                std::unique_ptr<unsigned char[]> buf(new unsigned char[room]);
                // Mostly the flags it takes, so that the reads get past the check of them.
                uint32_t flags = in_.ConsumeIntegral<uint32_t>();
                if (in_.ConsumeBool()) flags &= ZRREG_RT_ANY | ZRREG_NOEXPAND | ZRREG_ZEROONFAILURE;
                int32_t rc = ZrRegGetValue(h, in_.ConsumeBool() ? P(key) : nullptr, P(value), flags, &type,
                                           buf.get(), &cb);
                FUZZ_CHECK(rc != 0 || cb <= room);
                break;
            }
            case 16: {
                // Any type with any bytes, mostly of the table's types and often in their forms
                // (UTF-16 texts with quotes, line breaks, NULs; 4 and 8 bytes).
                WName key = NextName(in_), name = NextName(in_);
                uint32_t type = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 11)
                                                  : in_.ConsumeIntegral<uint32_t>();
                std::string data = in_.ConsumeRandomLengthString(64);
                if (in_.ConsumeBool()) {
                    std::string wide;
                    for (char c : data) wide += {c, static_cast<char>(in_.ConsumeBool() ? 0 : 0x20)};
                    data = wide + std::string(2, '\0');
                }
                if (in_.ConsumeBool()) data.resize(in_.ConsumeBool() ? 4 : 8);
                ZrRegSetKeyValue(h, in_.ConsumeBool() ? P(key) : nullptr,
                                 in_.ConsumeBool() ? P(name) : nullptr, type,
                                 data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
                break;
            }
            default:
                ZrRegCloseKey(nullptr);
                break;
        }
    }

    FuzzedDataProvider& in_;
    std::vector<void*> open_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceStdout();
    RemoveFuzzDirAtExit("ops.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = FuzzDir() + "/ops.reg";
    WriteBytes(path, kBase, sizeof kBase - 1);
    FUZZ_CHECK(ZrLoadRegistry(path.c_str()) == 0);
    FuzzedDataProvider in(data, size);
    {
        Session s(in);
        s.Run();
    }
    std::string tree = Dump();
    RegViewSetChanged(true);
    ZrUnloadRegistry();
    FUZZ_CHECK(ZrLoadRegistry(path.c_str()) == 0);
    FUZZ_CHECK(Dump() == tree);
    ZrUnloadRegistry();
    return 0;
}
