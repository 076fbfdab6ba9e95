// Renaming keys and values: every result of the two calls with the tree after it, handles
// and watches, memory that runs out, and renames that other processes see, survive a
// SIGKILL and are never half done in a log cut at any byte.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "regp.h"
#include "testutil.h"
#include "zrplat.h"
#include "zrsignal.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n  KEY HKEY_LOCAL_MACHINE ( )\n  KEY HKEY_CURRENT_USER ( )\n  KEY P\n  (\n"
    "    [REG_SZ] s = \"text\"; [REG_INT] n = 7; [REG_SZ] t = \"two\";\n"
    "    KEY Foo ( [REG_INT] deep = 1; KEY Sub ( ) )\n    KEY Bar ( )\n    KEY Baz ( )\n  )\n)\n";
const char kShape[] = "P{s=text n=7 t=two Foo{deep=1 Sub{}} Bar{} Baz{}}";

// A key in one line: its name, then its values and subkeys in list order.
std::string Shape(RegNode* node) {
    if (!node) return "(none)";
    std::string out = std::string(node->GetName()) + "{";
    RegKeyValueList* values = node->GetRegKeyValueList();
    const char* sep = "";
    for (int i = 0; i < values->GetSize(); ++i, sep = " ") {
        RegKeyValue* v = values->GetAt(i);
        out += sep + std::string(v->GetKey()) + "=" +
               (v->GetType() == REG_INT ? std::to_string(v->GetInt()) : static_cast<char*>(v->GetValue()));
    }
    RegNodeList* subs = node->GetRegNodeList();
    for (int i = 0; i < subs->GetSize(); ++i, sep = " ") out += sep + Shape(subs->GetAt(i));
    return out + "}";
}

std::string ShapeOfP() { return Shape(Search("My Computer/P")); }

void* Open(void* base, const char16_t* path) {
    void* h = nullptr;
    EXPECT_EQ(ZrRegOpenKeyEx(base, WP(path), 0, &h), ZRREG_SUCCESS);
    return h;
}

class Rename : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        WriteBytes(reg_, kBase);
        fflush(stdout);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        zrAllocFailAt(0);
        ResetRegistry();
    }
    TempDir dir_;
    std::string reg_;
};

// The handles a case may use, opened before its call: P, and a key that it names.
struct Held {
    void* root;
    void* p;
};

struct Case {
    const char* what;
    std::function<int32_t(const Held&)> call;
    int32_t rc;
    const char* after;  // P after the call, and after an unload and a new load
};

int32_t Key(void* h, const char16_t* sub, const char16_t* to) {
    return ZrRegRenameKey(h, sub ? WP(sub) : nullptr, to ? WP(to) : nullptr);
}

int32_t Value(void* h, const char16_t* sub, const char16_t* from, const char16_t* to) {
    return ZrRegRenameValue(h, sub ? WP(sub) : nullptr, from ? WP(from) : nullptr, to ? WP(to) : nullptr);
}

// Each case on the base file freshly loaded (with its change log), its result and P's
// shape after it, then again as the registry file holds it.
TEST_F(Rename, EveryResultWithTheTreeAfterIt) {
    auto withOpen = [](const char16_t* path, std::function<int32_t(void*)> f) {
        return [path, f](const Held& h) {
            void* other = Open(h.p, path);
            int32_t rc = f(other);
            ZrRegCloseKey(other);
            return rc;
        };
    };
    const Case cases[] = {
        {"a key, in its place", [](const Held& h) { return Key(h.p, u"Foo", u"Qux"); }, ZRREG_SUCCESS,
         "P{s=text n=7 t=two Qux{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a new case of its name", [](const Held& h) { return Key(h.p, u"foo", u"FOO"); }, ZRREG_SUCCESS,
         "P{s=text n=7 t=two FOO{deep=1 Sub{}} Bar{} Baz{}}"},
        {"the same name", [](const Held& h) { return Key(h.p, u"Foo", u"Foo"); }, ZRREG_SUCCESS, kShape},
        {"a key by a path below hKey", [](const Held& h) { return Key(h.p, u"Foo\\Sub", u"S2"); },
         ZRREG_SUCCESS, "P{s=text n=7 t=two Foo{deep=1 S2{}} Bar{} Baz{}}"},
        {"a longer name", [](const Held& h) { return Key(h.p, u"Bar", u"A much longer name than before"); },
         ZRREG_SUCCESS, "P{s=text n=7 t=two Foo{deep=1 Sub{}} A much longer name than before{} Baz{}}"},
        {"to a sibling's name", [](const Held& h) { return Key(h.p, u"Foo", u"bar"); }, ZRREG_ALREADY_EXISTS,
         kShape},
        {"a missing key", [](const Held& h) { return Key(h.p, u"Nope", u"X"); }, ZRREG_NOT_FOUND, kShape},
        {"to a name with a backslash", [](const Held& h) { return Key(h.p, u"Foo", u"a\\b"); },
         ZRREG_BAD_NAME, kShape},
        {"to a name with a slash", [](const Held& h) { return Key(h.p, u"Foo", u"a/b"); }, ZRREG_BAD_NAME,
         kShape},
        {"to a name with a double quote", [](const Held& h) { return Key(h.p, u"Foo", u"a\"b"); },
         ZRREG_BAD_NAME, kShape},
        {"to an empty name", [](const Held& h) { return Key(h.p, u"Foo", u""); }, ZRREG_BAD_ARG, kShape},
        {"to no name", [](const Held& h) { return Key(h.p, u"Foo", nullptr); }, ZRREG_BAD_ARG, kShape},
        {"the root", [](const Held& h) { return Key(h.root, nullptr, u"X"); }, ZRREG_KEY_BUSY, kShape},
        {"HKEY_LOCAL_MACHINE", [](const Held& h) { return Key(h.root, u"HKEY_LOCAL_MACHINE", u"X"); },
         ZRREG_KEY_BUSY, kShape},
        {"hkey_current_user", [](const Held& h) { return Key(h.root, u"hkey_current_user", u"X"); },
         ZRREG_KEY_BUSY, kShape},
        {"a predefined handle's key", [](const Held&) { return Key(HkeyHKLM(), u"", u"X"); }, ZRREG_KEY_BUSY,
         kShape},
        {"hKey's own key, taking hKey along",
         withOpen(u"Foo",
                  [](void* foo) {
                      int32_t rc = Key(foo, u"", u"Qux");
                      uint32_t v = 0;
                      ZrRegQueryValueDw(foo, nullptr, WP(u"deep"), 99, &v);
                      return rc == 0 && v == 1 ? 0 : -2;
                  }),
         ZRREG_SUCCESS, "P{s=text n=7 t=two Qux{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a key with a handle open on it",
         withOpen(u"Foo", [](void*) { return Key(HkeyRegRoot(), u"P\\Foo", u"Qux"); }), ZRREG_KEY_BUSY,
         kShape},
        {"a key with a handle open below it",
         withOpen(u"Foo\\Sub", [](void*) { return Key(HkeyRegRoot(), u"P\\Foo", u"Qux"); }), ZRREG_KEY_BUSY,
         kShape},
        {"hKey's own key with a second handle on it",
         withOpen(u"Foo",
                  [](void* foo) {
                      void* second = Open(HkeyRegRoot(), u"P\\Foo");
                      int32_t rc = Key(foo, nullptr, u"Qux");
                      ZrRegCloseKey(second);
                      return rc;
                  }),
         ZRREG_KEY_BUSY, kShape},
        {"a new case with a handle open below",
         withOpen(u"Foo\\Sub", [](void*) { return Key(HkeyRegRoot(), u"P\\Foo", u"foO"); }), ZRREG_SUCCESS,
         "P{s=text n=7 t=two foO{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a value, in its place", [](const Held& h) { return Value(h.p, nullptr, u"s", u"s2"); },
         ZRREG_SUCCESS, "P{s2=text n=7 t=two Foo{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a value's new case", [](const Held& h) { return Value(h.p, u"", u"n", u"N"); }, ZRREG_SUCCESS,
         "P{s=text N=7 t=two Foo{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a value of a key below hKey", [](const Held& h) { return Value(h.p, u"Foo", u"deep", u"d"); },
         ZRREG_SUCCESS, "P{s=text n=7 t=two Foo{d=1 Sub{}} Bar{} Baz{}}"},
        {"a value to the name \"\"", [](const Held& h) { return Value(h.p, nullptr, u"t", u""); },
         ZRREG_SUCCESS, "P{s=text n=7 =two Foo{deep=1 Sub{}} Bar{} Baz{}}"},
        {"a value to another's name", [](const Held& h) { return Value(h.p, nullptr, u"s", u"T"); },
         ZRREG_ALREADY_EXISTS, kShape},
        {"a missing value", [](const Held& h) { return Value(h.p, nullptr, u"x", u"y"); }, ZRREG_NOT_FOUND,
         kShape},
        {"a value of a missing key", [](const Held& h) { return Value(h.p, u"Nope", u"s", u"y"); },
         ZRREG_NOT_FOUND, kShape},
        {"a value to a name with a double quote",
         [](const Held& h) { return Value(h.p, nullptr, u"s", u"\""); }, ZRREG_BAD_NAME, kShape},
        {"a value without names", [](const Held& h) { return Value(h.p, nullptr, nullptr, u"y"); },
         ZRREG_BAD_ARG, kShape},
        {"dead handles",
         [](const Held& h) {
             void* p = Open(h.p, u"Foo");
             ZrRegCloseKey(p);
             int32_t a = Key(p, u"Sub", u"X"), b = Value(p, nullptr, u"deep", u"y");
             return a == b ? a : -2;
         },
         ZRREG_INVALID_HANDLE, kShape},
        {"null handles",
         [](const Held&) {
             return Key(nullptr, u"P", u"X") == Value(nullptr, u"", u"a", u"b") ? ZRREG_BAD_ARG : -2;
         },
         ZRREG_BAD_ARG, kShape},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(reg_, kBase);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        ASSERT_TRUE(LogActive());
        Held h{HkeyRegRoot(), nullptr};
        h.p = Open(h.root, u"P");
        EXPECT_EQ(c.call(h), c.rc);
        EXPECT_EQ(ShapeOfP(), c.after);
        ZrRegCloseKey(h.p);
        ZrUnloadRegistry();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        EXPECT_EQ(ShapeOfP(), c.after) << "in the file";
        ZrUnloadRegistry();
    }
}

}  // namespace
