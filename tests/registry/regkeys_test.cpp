// The 8-bit key operations where the wide ones do not reach: the root handle, sizes of
// 8-bit names and data, arguments the wide layer checks first, and names taken whole.
#include <string>

#include "testutil.h"

typedef KeyTreeTest KeysTest;

// The root handle counts as an open handle of the root until it is closed, once.
TEST_F(KeysTest, RootHandle) {
    ASSERT_EQ(RegHandleOf(HkeyRegRoot()), rootKey);
    EXPECT_STREQ(rootKey->ptr, "My Computer");
    EXPECT_EQ(RootNode->GetOpenCnt(), 1);
    cfRegCloseRoot();
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    EXPECT_EQ(RootNode->GetOpenCnt(), 0);
    cfRegCloseRoot();
    EXPECT_EQ(RootNode->GetOpenCnt(), 0);
}

// Sizes count the terminator; a buffer too small gets nothing but the size.
TEST_F(KeysTest, EnumKeySizes) {
    char buf[16];
    unsigned int size = 0;
    EXPECT_EQ(CfRegEnumKey(rootKey, 0, nullptr, &size), REGERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 9u);  // "Software" and its terminator
    size = 8;
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CfRegEnumKey(rootKey, 0, buf, &size), REGERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(buf[0], 'x');
    size = 9;
    EXPECT_EQ(CfRegEnumKey(rootKey, 0, buf, &size), 0u);
    EXPECT_STREQ(buf, "Software");
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(CfRegEnumKey(nullptr, 0, buf, &size), REGERR_INVALID_HANDLE);
    EXPECT_EQ(CfRegEnumKey(rootKey, 0, buf, nullptr), REGERR_INVALID_HANDLE);
}

TEST_F(KeysTest, QueryValueSizes) {
    HKEY sw = nullptr;
    ASSERT_EQ(CfRegOpenKey(rootKey, "Software", &sw), 0u);
    unsigned int type = 0, size = 0;
    unsigned char buf[8];
    struct Case {
        const char* name;
        unsigned int size;
        unsigned int type;
    } cases[] = {{"abc", 4, REG_SZ}, {"ABC", 4, REG_SZ}, {"N300", 4, REG_INT}};
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
    EXPECT_EQ(CfRegQueryValue(sw, nullptr, &type, buf, &size), REGERR_INVALID_HANDLE);
    EXPECT_EQ(CfRegQueryValue(sw, "abc", nullptr, buf, &size), REGERR_INVALID_HANDLE);
    CfRegCloseKey(sw);
}

// The wide layer splits paths at "/"; here a name with "/" that is no existing path
// becomes one key, and an empty name none.
TEST_F(KeysTest, CreateKeyTakesTheNameWhole) {
    HKEY h = nullptr;
    EXPECT_EQ(CfRegCreateKey(rootKey, "x/y", &h), 0u);
    RegNodeList* subs = RootNode->GetRegNodeList();
    EXPECT_STREQ(subs->GetAt(subs->GetSize() - 1)->GetName(), "x/y");
    CfRegCloseKey(h);
    h = nullptr;
    EXPECT_EQ(CfRegCreateKey(rootKey, "", &h), REGERR_KEY_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
}
