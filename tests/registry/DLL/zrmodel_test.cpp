// Random sequences of calls of the exported functions checked against a plain model of
// the tree, then saved and loaded back.
#include <stdint.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

bool SameName(const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) == 0; }

struct MValue {
    std::string name;
    bool isInt;
    int32_t i;
    std::string s;
};

// A key as the library is meant to keep it: lists in insertion order, the first entry of
// a name found whatever its case, a replaced value moved to the end.
struct MKey {
    std::string name;
    std::vector<MValue> values;
    std::vector<std::unique_ptr<MKey>> subs;
    int open = 0;

    MKey* Sub(const std::string& n) {
        for (auto& k : subs)
            if (SameName(k->name, n)) return k.get();
        return nullptr;
    }
    int Value(const std::string& n) {
        for (size_t i = 0; i < values.size(); ++i)
            if (SameName(values[i].name, n)) return static_cast<int>(i);
        return -1;
    }
    void Dump(int depth, std::string& out) const {
        std::string pad(static_cast<size_t>(depth) * 2, ' ');
        out += pad + "[" + name + "]" + (open ? " open=" + std::to_string(open) : "") + "\n";
        for (auto& v : values)
            out += pad + "  " + v.name + " = " + (v.isInt ? std::to_string(v.i) : "\"" + v.s + "\"") + "\n";
        for (auto& k : subs) k->Dump(depth + 1, out);
    }
    std::string Dumped() const {
        std::string out;
        Dump(0, out);
        return out;
    }
};

// A handle is its key's path as the caller spelled it, resolved anew on every call.
struct MHandle {
    void* h;
    std::vector<std::string> path;
};

class Model {
public:
    explicit Model(MKey* root) : root_(root) {}
    MKey* Resolve(const std::vector<std::string>& path) {
        MKey* k = root_;
        for (auto& n : path)
            if (!(k = k->Sub(n))) return nullptr;
        return k;
    }

private:
    MKey* root_;
};

// Besides names equal but for case, texts the writer must quote to read them back.
const char* const kKeyNames[] = {"a", "A", "b", "B", "key", "KEY", "12", "[REG_SZ]", "a;b=(c)"};
const char* const kValueNames[] = {"v", "V", "n", "x y", "caf\xe9", "", "KEY", "12", "a;b=(c)"};
const char* const kTexts[] = {"",       "1",   "text",     "with space", "\xff\x80",
                              "a/b\\c", "KEY", "[REG_SZ]", "a;b=(c)"};

template <size_t N>
const char* Pick(const char* const (&names)[N], std::mt19937& rnd) {
    return names[rnd() % N];
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
    }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    // Unloads, which saves, loads the file again and checks that it holds the model's tree.
    void ExpectReloadedAs(const MKey& root) {
        ZrUnloadRegistry();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        ASSERT_EQ(DumpTree(RootNode), root.Dumped());
        ZrUnloadRegistry();
    }
    TempDir dir_;
    std::string reg_;
};

TEST_F(ModelTest, RandomSequencesAgreeWithTheModelAndLoadBack) {
    const int sequences = 300, steps = 80;
    for (int seq = 0; seq < sequences; ++seq) {
        SCOPED_TRACE(seq);
        std::mt19937 rnd(static_cast<unsigned>(seq));
        auto pick = [&](size_t n) { return static_cast<size_t>(rnd() % n); };
        WriteBytes(reg_,
                   "KEY \"My Computer\" ( [REG_SZ] v = \"1\"; KEY A ( ) KEY b ( [REG_INT] n = 5; ) )\n");
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);

        MKey root{"My Computer", {{"v", false, 0, "1"}}, {}, 1};
        root.subs.emplace_back(new MKey{"A", {}, {}, 0});
        root.subs.emplace_back(new MKey{"b", {{"n", true, 5, ""}}, {}, 0});
        Model model(&root);
        std::vector<MHandle> handles{{HkeyRegRoot(), {}}};

        for (int step = 0; step < steps; ++step) {
            size_t hi = pick(handles.size());
            MHandle& mh = handles[hi];
            MKey* key = model.Resolve(mh.path);
            std::string kname = Pick(kKeyNames, rnd), vname = Pick(kValueNames, rnd);
            int op = static_cast<int>(pick(9));
            SCOPED_TRACE(testing::Message() << "step " << step << " op " << op);
            switch (op) {
                case 0:
                case 1: {  // create, or open
                    void* h = nullptr;
                    MKey* sub = key ? key->Sub(kname) : nullptr;
                    int32_t rc = op == 0 ? ZrRegCreateKey(mh.h, WP(W(kname)), &h)
                                         : ZrRegOpenKeyEx(mh.h, WP(W(kname)), 0, &h);
                    if (!key) {
                        EXPECT_EQ(rc, ZRREG_KEY_NOT_FOUND);
                        break;
                    }
                    if (!sub && op == 1) {
                        EXPECT_EQ(rc, ZRREG_NOT_FOUND);
                        break;
                    }
                    ASSERT_EQ(rc, ZRREG_SUCCESS);
                    if (!sub) {
                        key->subs.emplace_back(new MKey{kname, {}, {}, 0});
                        sub = key->subs.back().get();
                    }
                    ++sub->open;
                    std::vector<std::string> path = mh.path;
                    path.push_back(kname);
                    handles.push_back({h, path});
                    break;
                }
                case 2:  // close
                    if (hi == 0) break;
                    EXPECT_EQ(ZrRegCloseKey(mh.h), 0);
                    if (key) --key->open;
                    handles.erase(handles.begin() + static_cast<long>(hi));
                    break;
                case 3: {  // set
                    bool isInt = pick(2) == 0;
                    int32_t i = static_cast<int32_t>(rnd());
                    std::string s = Pick(kTexts, rnd);
                    int32_t rc = isInt ? ZrRegSetValueEx(mh.h, WP(W(vname)), ZRREG_TYPE_DWORD,
                                                         reinterpret_cast<const unsigned char*>(&i), 4)
                                       : ZrRegSetValueEx(mh.h, WP(W(vname)), ZRREG_TYPE_SZ,
                                                         reinterpret_cast<const unsigned char*>(s.c_str()),
                                                         static_cast<uint32_t>(s.size() + 1));
                    if (!key) {
                        EXPECT_EQ(rc, ZRREG_KEY_NOT_FOUND);
                        break;
                    }
                    ASSERT_EQ(rc, ZRREG_SUCCESS);
                    int at = key->Value(vname);
                    key->values.push_back({vname, isInt, i, s});
                    if (at >= 0) key->values.erase(key->values.begin() + at);
                    break;
                }
                case 4: {  // delete a key
                    int32_t rc = ZrRegDeleteKey(mh.h, WP(W(kname)));
                    MKey* sub = key ? key->Sub(kname) : nullptr;
                    EXPECT_EQ(rc, !key        ? ZRREG_KEY_NOT_FOUND
                                  : !sub      ? ZRREG_NOT_FOUND
                                  : sub->open ? ZRREG_KEY_BUSY
                                              : ZRREG_SUCCESS);
                    if (rc == 0 && sub) {
                        for (size_t i = 0; i < key->subs.size(); ++i)
                            if (key->subs[i].get() == sub) {
                                key->subs.erase(key->subs.begin() + static_cast<long>(i));
                                break;
                            }
                    }
                    break;
                }
                case 5: {  // delete a value
                    int32_t rc = ZrRegDeleteValue(mh.h, WP(W(vname)));
                    int at = key ? key->Value(vname) : -1;
                    EXPECT_EQ(rc, !key ? ZRREG_KEY_NOT_FOUND : at < 0 ? ZRREG_NOT_FOUND : ZRREG_SUCCESS);
                    if (rc == 0 && at >= 0) key->values.erase(key->values.begin() + at);
                    break;
                }
                case 6: {  // query
                    unsigned char buf[64];
                    uint32_t type = 0, cb = sizeof buf;
                    int32_t rc = ZrRegQueryValueEx(mh.h, WP(W(vname)), &type, buf, &cb);
                    int at = key ? key->Value(vname) : -1;
                    EXPECT_EQ(rc, !key ? ZRREG_KEY_NOT_FOUND : at < 0 ? ZRREG_NOT_FOUND : ZRREG_SUCCESS);
                    if (rc != 0 || at < 0) break;
                    const MValue& v = key->values[static_cast<size_t>(at)];
                    if (v.isInt) {
                        EXPECT_EQ(type, ZRREG_TYPE_DWORD);
                        EXPECT_EQ(memcmp(buf, &v.i, 4), 0);
                    } else {
                        EXPECT_EQ(type, ZRREG_TYPE_SZ);
                        std::u16string w = W(v.s);
                        EXPECT_EQ(cb, w.size() + 1);
                        EXPECT_EQ(memcmp(buf, w.c_str(), 2 * (w.size() + 1)), 0);
                    }
                    break;
                }
                case 7: {  // enumerate
                    unsigned short name[256];
                    uint32_t cb = 0, index = static_cast<uint32_t>(pick(4));
                    int32_t rc = ZrRegEnumKeyEx(mh.h, index, name, &cb);
                    EXPECT_EQ(rc, !key                       ? ZRREG_KEY_NOT_FOUND
                                  : index < key->subs.size() ? ZRREG_SUCCESS
                                                             : ZRREG_NO_MORE_ITEMS);
                    if (rc == 0) {
                        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name)),
                                  W(key->subs[index]->name));
                    }
                    break;
                }
                default:
                    EXPECT_EQ(ZrRegCountSubKeys(mh.h), key ? key->subs.size() : 0xFFFFFFFFu);
                    break;
            }
            ASSERT_EQ(DumpTree(RootNode), root.Dumped());
        }
        for (size_t i = 1; i < handles.size(); ++i) {
            if (MKey* k = model.Resolve(handles[i].path)) --k->open;
            ZrRegCloseKey(handles[i].h);
        }
        bRegChanged = 1;  // also an unchanged tree goes through the writer
        ExpectReloadedAs(root);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
