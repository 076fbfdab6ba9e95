// Key handles and the 8-bit key and value operations: codes, out-parameters, side effects.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

// My Computer
//   Software          values: Name="abc", Count=3
//     Test
//       Deep
//   Empty
class KeysTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
        AddKey("Software");
        Within("My Computer/Software", [] {
            AddValue(Dup("Name"), REG_SZ, Dup("abc"));
            AddValue(Dup("Count"), REG_INT, Dup("3"));
            AddKey("Test");
        });
        Within("My Computer/Software/Test", [] { AddKey("Deep"); });
        AddKey("Empty");
        EndKeyNode("My Computer");
        MarkLoaded();
        root = s_hkeyRoot;
    }
    HKEY Open(HKEY base, const char* path) {
        HKEY h = nullptr;
        EXPECT_EQ(CfRegOpenKey(base, path, &h), 0u) << path;
        return h;
    }
    HKEY root = nullptr;
};

TEST_F(KeysTest, RootHandle) {
    ASSERT_NE(HkeyRegRoot(), nullptr);
    EXPECT_STREQ(s_hkeyRoot->ptr, "My Computer");
    EXPECT_EQ(RootNode->GetOpenCnt(), 1);
    cfRegCloseRoot();
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    EXPECT_EQ(RootNode->GetOpenCnt(), 0);
    cfRegCloseRoot();  // nothing to close
}

TEST_F(KeysTest, OpenKeyCodesAndPaths) {
    HKEY h = Open(root, "software/TEST");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->ptr, "My Computer/software/TEST");  // spelled as the caller spelled it
    EXPECT_EQ(Search("My Computer/Software/Test")->GetOpenCnt(), 1);

    HKEY untouched = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(CfRegOpenKey(root, "", &untouched), REGERR_NOT_FOUND);
    EXPECT_EQ(CfRegOpenKey(root, "Missing", &untouched), REGERR_NOT_FOUND);
    EXPECT_EQ(CfRegOpenKey(root, "Software/", &untouched), REGERR_NOT_FOUND);
    EXPECT_EQ(untouched, reinterpret_cast<HKEY>(0x1));

    REG_HANDLE bogus = {0x42, const_cast<char*>("My Computer")};
    EXPECT_EQ(CfRegOpenKey(&bogus, "Software", &untouched), REGERR_INVALID_HANDLE);
    EXPECT_EQ(CfRegCloseKey(h), 0u);
    EXPECT_EQ(Search("My Computer/Software/Test")->GetOpenCnt(), 0);
}

TEST_F(KeysTest, EnumKeySizesAndEnd) {
    char buf[16];
    unsigned int size = 0;
    EXPECT_EQ(CfRegEnumKey(root, 0, nullptr, &size), REGERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 9u);  // "Software" and its terminator
    size = 8;
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CfRegEnumKey(root, 0, buf, &size), REGERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(buf[0], 'x');  // nothing but the size is written
    size = 9;
    EXPECT_EQ(CfRegEnumKey(root, 0, buf, &size), 0u);
    EXPECT_STREQ(buf, "Software");
    EXPECT_EQ(size, 9u);
    size = sizeof buf;
    EXPECT_EQ(CfRegEnumKey(root, 1, buf, &size), 0u);
    EXPECT_STREQ(buf, "Empty");
    EXPECT_EQ(CfRegEnumKey(root, 2, buf, &size), REGERR_NO_MORE_ITEMS);
    EXPECT_EQ(CfRegEnumKey(root, -1, buf, &size), REGERR_NO_MORE_ITEMS);
    HKEY empty = Open(root, "Empty");
    EXPECT_EQ(CfRegEnumKey(empty, 0, buf, &size), REGERR_NO_MORE_ITEMS);
    EXPECT_EQ(CfRegEnumKey(nullptr, 0, buf, &size), REGERR_INVALID_HANDLE);
    EXPECT_EQ(CfRegEnumKey(root, 0, buf, nullptr), REGERR_INVALID_HANDLE);
    CfRegCloseKey(empty);
}

TEST_F(KeysTest, QueryValueSizesTypesAndCase) {
    HKEY sw = Open(root, "Software");
    unsigned int type = 0, size = 0;
    unsigned char buf[8];
    struct Case {
        const char* name;
        unsigned int size;
        unsigned int type;
    } cases[] = {{"Name", 4, REG_SZ}, {"NAME", 4, REG_SZ}, {"count", 4, REG_INT}};
    for (const Case& c : cases) {
        size = 123;
        EXPECT_EQ(CfRegQueryValue(sw, c.name, &type, nullptr, &size), REGERR_BUFFER_TOO_SMALL) << c.name;
        EXPECT_EQ(size, c.size);
        size = c.size - 1;
        memset(buf, 0xEE, sizeof buf);
        type = 0;
        EXPECT_EQ(CfRegQueryValue(sw, c.name, &type, buf, &size), REGERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(type, 0u);  // untouched
        EXPECT_EQ(buf[0], 0xEE);
        size = c.size;
        EXPECT_EQ(CfRegQueryValue(sw, c.name, &type, buf, &size), 0u);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(buf[c.size], 0xEE);  // guard byte behind the data
    }
    int count;
    memcpy(&count, buf, 4);
    EXPECT_EQ(count, 3);
    size = sizeof buf;
    EXPECT_EQ(CfRegQueryValue(sw, "Missing", &type, buf, &size), REGERR_NOT_FOUND);
    EXPECT_EQ(CfRegQueryValue(sw, nullptr, &type, buf, &size), REGERR_INVALID_HANDLE);
    EXPECT_EQ(CfRegQueryValue(sw, "Name", nullptr, buf, &size), REGERR_INVALID_HANDLE);
    CfRegCloseKey(sw);
}

TEST_F(KeysTest, SetValueStoresTypesAndMovesAReplacedValueToTheEnd) {
    HKEY sw = Open(root, "Software");
    int32_t minusOne = -1;
    struct Case {
        const char* name;
        unsigned int type;
        const char* data;
        unsigned int cb;
        const char* expect;
    } cases[] = {
        {"i", 4, reinterpret_cast<const char*>(&minusOne), 1, "-1"},
        {"s6", 1, "hello", 6, "\"hello\""},
        {"s3", 1, "hello", 3, "\"hel\""},
        {"x2", 2, "ab", 2, "\"ab\""},
        {"x7", 7, "a\0b", 3, "\"a\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CfRegSetValue(sw, c.name, c.type, reinterpret_cast<const unsigned char*>(c.data), c.cb), 0u);
    }
    EXPECT_EQ(bRegChanged, 1);
    std::string dump = DumpTree(Search("My Computer/Software"));
    for (const Case& c : cases) EXPECT_NE(dump.find(std::string(c.name) + " = " + c.expect), std::string::npos) << dump;

    bRegChanged = 0;
    EXPECT_EQ(CfRegSetValue(sw, "NAME", 1, reinterpret_cast<const unsigned char*>("new"), 4), 0u);
    RegKeyValueList* values = Search("My Computer/Software")->GetRegKeyValueList();
    RegKeyValue* last = values->GetAt(values->GetSize() - 1);
    EXPECT_STREQ(last->GetKey(), "NAME");
    EXPECT_STREQ(static_cast<char*>(last->GetValue()), "new");
    EXPECT_STREQ(values->GetAt(0)->GetKey(), "Count");
    EXPECT_EQ(bRegChanged, 1);
    CfRegCloseKey(sw);
}

TEST_F(KeysTest, TextsTheFileCannotCarryAreRefused) {
    HKEY sw = Open(root, "Software");
    std::string before = DumpTree(RootNode);
    const char* bad[] = {"a\"b", "line\nbreak", "ctrl\x1az"};
    for (const char* t : bad) {
        const unsigned char* d = reinterpret_cast<const unsigned char*>(t);
        EXPECT_EQ(CfRegSetValue(sw, t, 1, reinterpret_cast<const unsigned char*>("ok"), 3), REGERR_BAD_NAME);
        EXPECT_EQ(CfRegSetValue(sw, "ok", 1, d, static_cast<unsigned int>(strlen(t) + 1)), REGERR_BAD_NAME);
        HKEY h = nullptr;
        EXPECT_EQ(CfRegCreateKey(sw, t, &h), REGERR_BAD_NAME);
        EXPECT_EQ(h, nullptr);
    }
    // A quote behind the stored end of the string does not matter.
    EXPECT_EQ(CfRegSetValue(sw, "cut", 1, reinterpret_cast<const unsigned char*>("ok\0\""), 4), 0u);
    EXPECT_EQ(bRegChanged, 1);
    CfRegDeleteValue(sw, "cut");
    EXPECT_EQ(DumpTree(RootNode), before);
    CfRegCloseKey(sw);
}

TEST_F(KeysTest, CreateKeyOpensOrAppends) {
    HKEY h = nullptr;
    EXPECT_EQ(CfRegCreateKey(root, "software", &h), 0u);
    EXPECT_EQ(bRegChanged, 0);  // opened, not created
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 1);
    CfRegCloseKey(h);

    EXPECT_EQ(CfRegCreateKey(root, "New", &h), 0u);
    EXPECT_EQ(bRegChanged, 1);
    RegNodeList* subs = RootNode->GetRegNodeList();
    EXPECT_STREQ(subs->GetAt(subs->GetSize() - 1)->GetName(), "New");
    EXPECT_EQ(subs->GetAt(subs->GetSize() - 1)->GetOpenCnt(), 1);
    CfRegCloseKey(h);

    // A name with "/" that is no existing path becomes one key.
    EXPECT_EQ(CfRegCreateKey(root, "x/y", &h), 0u);
    EXPECT_STREQ(subs->GetAt(subs->GetSize() - 1)->GetName(), "x/y");
    CfRegCloseKey(h);

    HKEY untouched = nullptr;
    EXPECT_EQ(CfRegCreateKey(root, "", &untouched), REGERR_KEY_NOT_FOUND);
    lRegLoadCnt = 0;
    EXPECT_EQ(CfRegCreateKey(root, "Other", &untouched), REGERR_NOT_LOADED);
    lRegLoadCnt = 1;
    EXPECT_EQ(untouched, nullptr);
}

TEST_F(KeysTest, DeleteKeyBusyDeadHandlesAndValues) {
    HKEY test = Open(root, "Software/Test");
    HKEY deep = Open(test, "Deep");
    HKEY sw = Open(root, "Software");
    EXPECT_EQ(CfRegDeleteKey(sw, "test"), REGERR_KEY_BUSY);
    EXPECT_EQ(CfRegCloseKey(test), 0u);
    // Only the subkey's own count matters: the open handle further down does not stop it.
    EXPECT_EQ(CfRegDeleteKey(sw, "test"), 0u);
    EXPECT_EQ(Search("My Computer/Software/Test"), nullptr);
    char buf[8];
    unsigned int size = sizeof buf;
    EXPECT_EQ(CfRegEnumKey(deep, 0, buf, &size), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegSetValue(deep, "v", 1, reinterpret_cast<const unsigned char*>("x"), 2), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegCloseKey(deep), 0u);  // released, nothing counted

    EXPECT_EQ(CfRegDeleteKey(sw, "Test"), REGERR_NOT_FOUND);
    EXPECT_EQ(CfRegDeleteValue(sw, "name"), 0u);
    EXPECT_EQ(CfRegDeleteValue(sw, "Name"), REGERR_NOT_FOUND);
    REG_HANDLE bogus = {0x42, const_cast<char*>("My Computer")};
    EXPECT_EQ(CfRegDeleteKey(&bogus, "Empty"), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegDeleteValue(&bogus, "x"), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegSetValue(&bogus, "x", 1, reinterpret_cast<const unsigned char*>("x"), 2), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegCloseKey(&bogus), REGERR_INVALID_HANDLE);
    lRegLoadCnt = 0;
    EXPECT_EQ(CfRegDeleteKey(root, "Empty"), REGERR_NOT_LOADED);
    EXPECT_EQ(CfRegDeleteValue(sw, "Count"), REGERR_NOT_LOADED);
    lRegLoadCnt = 1;
    CfRegCloseKey(sw);
}

TEST_F(KeysTest, OperationsWithoutATreeFailCleanly) {
    HKEY sw = Open(root, "Software");
    cfRegCloseRoot();
    delete RootNode;
    RootNode = nullptr;
    unsigned int type, size = 8;
    unsigned char buf[8];
    HKEY h;
    EXPECT_EQ(CfRegOpenKey(sw, "x", &h), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegEnumKey(sw, 0, reinterpret_cast<char*>(buf), &size), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegQueryValue(sw, "Name", &type, buf, &size), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(CfRegCloseKey(sw), 0u);
}

// Each allocation of an operation fails in turn (every later one too): the result is 2,
// the tree is as before, no handle is made, and nothing leaks (sanitizer build).
TEST_F(KeysTest, NoMemoryAtEveryAllocation) {
    struct Op {
        const char* what;
        unsigned int (*run)(HKEY root, HKEY* out);
    } ops[] = {
        {"open", [](HKEY r, HKEY* o) { return CfRegOpenKey(r, "Software/Test", o); }},
        {"create", [](HKEY r, HKEY* o) { return CfRegCreateKey(r, "Brand New", o); }},
        {"set", [](HKEY r, HKEY*) {
             return CfRegSetValue(r, "Software", 1, reinterpret_cast<const unsigned char*>("v"), 2);
         }},
        {"replace", [](HKEY r, HKEY* o) {
             unsigned int rc = CfRegOpenKey(r, "Software", o);
             if (rc) return rc;
             rc = CfRegSetValue(*o, "name", 1, reinterpret_cast<const unsigned char*>("v"), 2);
             CfRegCloseKey(*o);
             *o = nullptr;
             return rc;
         }},
        {"set int", [](HKEY r, HKEY*) {
             int32_t v = 7;
             return CfRegSetValue(r, "n", 4, reinterpret_cast<const unsigned char*>(&v), 4);
         }},
    };
    for (const Op& op : ops) {
        std::string before = DumpTree(RootNode);
        long n = 1;
        for (;; ++n) {
            HKEY h = nullptr;
            bRegChanged = 0;
            zrAllocFailAt(n);
            unsigned int rc = op.run(root, &h);
            zrAllocFailAt(0);
            if (rc == 0) {
                if (h) CfRegCloseKey(h);
                break;
            }
            EXPECT_EQ(rc, REGERR_NO_MEMORY) << op.what << " at " << n;
            EXPECT_EQ(h, nullptr) << op.what;
            if (DumpTree(RootNode) != before && std::string(op.what) == "create") {
                // Made, but the handle for it could not be: the key stays and counts as a change.
                EXPECT_EQ(bRegChanged, 1);
                ASSERT_EQ(CfRegDeleteKey(root, "Brand New"), 0u);
            }
            EXPECT_EQ(DumpTree(RootNode), before) << op.what << " at " << n;
            EXPECT_EQ(NodeStack->GetSize(), 0);
        }
        EXPECT_GT(n, 1) << op.what;
    }
}
