// The name indexes: lookups, path search and removal agree with a plain scan of the lists.
#include <gtest/gtest.h>

#include <ctype.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

// The path search as a plain recursive scan: the behaviour the index must keep.
RegNode* ScanSearch(RegNode* n, const char* path) {
    const char* nm = n->GetName();
    size_t len = strlen(nm);
    for (size_t i = 0; i < len; ++i)
        if (tolower(static_cast<unsigned char>(path[i])) != tolower(static_cast<unsigned char>(nm[i])))
            return nullptr;
    if (path[len] == 0) return n;
    if (path[len] != '/') return nullptr;
    RegNodeList* subs = n->GetRegNodeList();
    for (int i = 0; i < subs->GetSize(); ++i)
        if (RegNode* r = ScanSearch(subs->GetAt(i), path + len + 1)) return r;
    return nullptr;
}

int ScanValue(RegNode* n, const char* name) {
    RegKeyValueList* l = n->GetRegKeyValueList();
    for (int i = 0; i < l->GetSize(); ++i)
        if (_stricmp(l->GetAt(i)->GetKey(), name) == 0) return i;
    return -1;
}

int ScanKey(RegNode* n, const char* name) {
    RegNodeList* l = n->GetRegNodeList();
    for (int i = 0; i < l->GetSize(); ++i)
        if (_stricmp(l->GetAt(i)->GetName(), name) == 0) return i;
    return -1;
}

// Few distinct names, so that equal names, names equal but for case, names with "/" and
// names that are a prefix of others meet in every list.
const char* const kNames[] = {"a", "A", "b", "a/b", "A/B/c", "", "/", "a/", "c", "B", "ab", "b/c"};

std::string RandomName(std::mt19937& rng) { return kNames[rng() % (sizeof kNames / sizeof kNames[0])]; }

std::string RandomPath(std::mt19937& rng) {
    std::string p = "My Computer";
    int parts = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < parts; ++i) p += "/" + RandomName(rng);
    return p;
}

RegNode* MakeNode(const std::string& name) { return NewRegNode(name.c_str()); }

// Fills `n` with `count` subkeys (each with a few subkeys of its own) and `count` values.
void Fill(RegNode* n, std::mt19937& rng, int count, int depth) {
    for (int i = 0; i < count; ++i) {
        RegNode* s = MakeNode(RandomName(rng));
        ASSERT_TRUE(n->AddKeyNode(s));
        if (depth > 0) Fill(s, rng, depth > 1 ? count : 4, depth - 1);
        ASSERT_TRUE(n->AddValue(RegKeyValue::MakeFromText(RandomName(rng).c_str(), REG_INT, "1")));
    }
}

// Every entry of an indexed list is held by its index at its own slot: an index that
// lost step with its list would only make lookups fall back to the scan.
template <class T>
void ExpectInStep(NameIndex* index, RegList<T>* list) {
    if (!index) return;
    for (int s = list->FirstSlot(); s < list->EndSlot(); ++s)
        if (list->AtSlot(s)) {
            ASSERT_EQ(index->SlotOf(list->AtSlot(s)), s);
        }
}

class IndexTest : public RegistryTest {
protected:
    void ExpectAgreement(std::mt19937& rng, RegNode* key) {
        for (int i = 0; i < 80; ++i) {
            std::string p = RandomPath(rng);
            ASSERT_EQ(Search(p.c_str()), ScanSearch(RootNode, p.c_str())) << p;
        }
        for (const char* name : kNames) {
            std::string folded = name;
            for (char& ch : folded) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
            for (const std::string& nm : {std::string(name), folded}) {
                int slot = -1;
                RegKeyValue* v = key->FindValue(nm.c_str(), &slot);
                int expect = ScanValue(key, nm.c_str());
                RegKeyValueList* vals = key->GetRegKeyValueList();
                ASSERT_EQ(v, expect < 0 ? nullptr : vals->GetAt(expect)) << nm;
                if (v) {
                    ASSERT_EQ(vals->AtSlot(slot), v);
                }
                RegNode* k = key->FindKeyNode(nm.c_str(), &slot);
                expect = ScanKey(key, nm.c_str());
                RegNodeList* subs = key->GetRegNodeList();
                ASSERT_EQ(k, expect < 0 ? nullptr : subs->GetAt(expect)) << nm;
                if (k) {
                    ASSERT_EQ(subs->AtSlot(slot), k);
                }
            }
        }
    }
};

// Random trees whose lists are long enough to be indexed, changed by appends and removals
// at random positions, must answer every lookup exactly as the scan does, with indexes in
// step through the lists' compactions: lists short enough to close every hole at once, and
// lists long enough to keep holes.
TEST_F(IndexTest, LookupsAgreeWithTheScanThroughAppendsAndRemovals) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed);
        RootNode = MakeNode("My Computer");
        int count = seed % 2 ? 20 : 90;
        Fill(RootNode, rng, count, seed % 2 ? 2 : 1);
        RegNode* key = RootNode->GetRegNodeList()->GetAt(3);
        ExpectAgreement(rng, key);
        for (int step = 0; step < 3 * count; ++step) {
            RegNode* target = rng() % 2 ? key : RootNode;
            int op = static_cast<int>(rng() % 6);
            RegNodeList* subs = target->GetRegNodeList();
            RegKeyValueList* vals = target->GetRegKeyValueList();
            if (op == 0 && subs->GetSize() > 1 && target != key) {
                int at = static_cast<int>(rng() % static_cast<unsigned>(subs->GetSize()));
                if (subs->GetAt(at) != key) delete target->TakeKeyNode(subs->SlotOf(at));
            } else if (op == 1 && vals->GetSize() > 0) {
                delete target->TakeValue(
                    vals->SlotOf(static_cast<int>(rng() % static_cast<unsigned>(vals->GetSize()))));
            } else if (op == 2) {
                ASSERT_TRUE(target->AddKeyNode(MakeNode(RandomName(rng))));
            } else if (op >= 4) {
                // A set: the first value of the name gives way to one at the end, made
                // anew, or (the same spelling, type and size) the old one with new data.
                std::string name = RandomName(rng);
                int had = vals->GetSize(), before = ScanValue(target, name.c_str());
                bool number = rng() % 2;
                std::string text = rng() % 2 ? "y" : "yz";
                if (op == 4) {
                    ASSERT_TRUE(target->SetValueLast(RegKeyValue::MakeFromText(name.c_str(), REG_INT, "2")));
                } else {
                    ASSERT_TRUE(target->SetValueLast(name.c_str(), name.size(), number ? REG_INT : REG_SZ,
                                                     text.c_str(), number ? 0 : text.size(), 7));
                }
                ASSERT_EQ(vals->GetSize(), had + (before < 0 ? 1 : 0));
                RegKeyValue* last = vals->GetAt(vals->GetSize() - 1);
                ASSERT_STREQ(last->GetKey(), name.c_str());
                if (op == 5 && number) {
                    ASSERT_EQ(last->GetInt(), 7);
                } else if (op == 5) {
                    ASSERT_STREQ(static_cast<char*>(last->GetValue()), text.c_str());
                }
            } else {
                ASSERT_TRUE(
                    target->AddValue(RegKeyValue::MakeFromText(RandomName(rng).c_str(), REG_SZ, "x")));
            }
            ExpectAgreement(rng, key);
            ExpectInStep(key->ValueIndex(), key->GetRegKeyValueList());
            ExpectInStep(key->KeyIndex(), key->GetRegNodeList());
        }
        ResetRegistry();
    }
}

// A compaction moves entries to other slots, and the index follows it: after holes are
// closed, and after the entries only shifted to the front. Equal names still find the
// first of them in list order.
TEST_F(IndexTest, IndexesFollowCompactions) {
    RootNode = MakeNode("My Computer");
    RegKeyValueList* vals = RootNode->GetRegKeyValueList();
    auto add = [](int i) {
        std::string name = "v" + std::to_string(i % 450);  // v0..v149 twice
        ASSERT_TRUE(RootNode->AddValue(RegKeyValue::MakeFromText(name.c_str(), REG_INT, "1")));
    };
    auto check = [&] {
        ExpectInStep(RootNode->ValueIndex(), vals);
        for (int i = 0; i < 450; i += 7) {
            std::string name = "v" + std::to_string(i);
            int slot = -1;
            ASSERT_EQ(RootNode->FindValue(name.c_str(), &slot) != nullptr,
                      ScanValue(RootNode, name.c_str()) >= 0);
            if (slot >= 0) {
                ASSERT_EQ(vals->SlotOf(ScanValue(RootNode, name.c_str())), slot) << name;
            }
        }
    };
    for (int i = 0; i < 600; ++i) add(i);
    ASSERT_NE(RootNode->ValueIndex(), nullptr);
    uint32_t moves = vals->Moves();
    while (vals->Moves() == moves) {  // holes behind the first entry, until they are closed
        delete RootNode->TakeValue(vals->SlotOf(1));
        check();
    }
    moves = vals->Moves();
    for (int i = vals->GetSize() * 2 / 3; i >= 0; --i) delete RootNode->TakeValue(vals->SlotOf(0));
    for (int i = 600; vals->Moves() == moves; ++i) add(i);  // full: the entries shift
    check();
    ASSERT_NE(RootNode->ValueIndex(), nullptr);
}

// A compaction that only shifts the entries moves the index's base, not its slots, and a
// base grown far is folded back into the slots: every shift leaves each name at its slot.
TEST(NameIndexShift, SlotsFollowEveryShift) {
    const char* names[] = {"x0", "x1", "X1", "x2", "long name with / in it", "x3"};
    NameIndex* index = NameIndex::Create(6, [](void* e) { return static_cast<const char*>(e); });
    ASSERT_NE(index, nullptr);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(index->Append(const_cast<char*>(names[i]), 1000 + 3 * i));
    const int shifts[] = {1, 0, 999, 1 << 29, 1 << 29, 1 << 29, 7};
    long long total = 0;
    for (int by : shifts) {
        index->Shift(by);
        total += by;
        for (int i = 0; i < 6; ++i) {
            int expect = static_cast<int>(1000 + 3 * i - total);
            ASSERT_EQ(index->SlotOf(const_cast<char*>(names[i])), expect) << by;
            const char* n = names[i];
            int slot = -1;
            // "X1" folds to "x1": the one of smaller slot answers.
            void* found = index->Find(n, strlen(n), NameIndex::Hash(n, strlen(n)), INT32_MIN, &slot);
            ASSERT_EQ(found, i == 2 ? names[1] : names[i]);
            ASSERT_EQ(slot, i == 2 ? expect - 3 : expect);
        }
    }
    // The entries appended and moved after the shifts take the slots given.
    static char added[] = "x9", moved[] = "X0";
    ASSERT_TRUE(index->Append(added, 5));
    ASSERT_TRUE(index->Move(const_cast<char*>(names[0]), moved, 6, NameIndex::Hash("x0", 2)));
    ASSERT_FALSE(index->Move(const_cast<char*>(names[0]), moved, 7, NameIndex::Hash("x0", 2)));
    ASSERT_EQ(index->SlotOf(added), 5);
    ASSERT_EQ(index->SlotOf(moved), 6);
    ASSERT_EQ(index->SlotOf(const_cast<char*>(names[0])), -1);
    delete index;
}

// Names with "/" are found by backtracking through an indexed list, in list order.
TEST_F(IndexTest, BacktrackingThroughAnIndexedList) {
    RootNode = MakeNode("My Computer");
    for (int i = 0; i < 10; ++i) RootNode->AddKeyNode(MakeNode("filler" + std::to_string(i)));
    RegNode* a = MakeNode("a");
    RegNode* ab = MakeNode("b");
    a->AddKeyNode(ab);
    RegNode* aSlashB = MakeNode("A/b");
    RegNode* c = MakeNode("c");
    aSlashB->AddKeyNode(c);
    RegNode* a2 = MakeNode("A");
    RootNode->AddKeyNode(aSlashB);
    RootNode->AddKeyNode(a);
    RootNode->AddKeyNode(a2);
    EXPECT_EQ(Search("My Computer/a/b/c"), c);
    EXPECT_EQ(Search("my computer/A/B"), aSlashB);  // the whole name comes first in the list
    EXPECT_EQ(Search("My Computer/a"), a);
    delete RootNode->TakeKeyNode(RootNode->GetRegNodeList()->SlotOf(10));  // "A/b" and its c
    EXPECT_EQ(Search("My Computer/a/b"), ab);
    EXPECT_EQ(Search("My Computer/a/b/c"), nullptr);
    delete RootNode->TakeKeyNode(RootNode->GetRegNodeList()->SlotOf(10));  // "a": the later "A" is found now
    EXPECT_EQ(Search("My Computer/a"), a2);
}

// Allocation failures while indexes are built or grown give the scan's answers.
TEST_F(IndexTest, NoMemoryFallsBackToTheScan) {
    for (long failAt = 1; failAt <= 12; ++failAt) {
        std::mt19937 rng(7);
        RootNode = MakeNode("My Computer");
        Fill(RootNode, rng, 12, 1);
        RegNode* key = RootNode->GetRegNodeList()->GetAt(0);
        for (int i = 0; i < 40; ++i) {
            zrAllocFailAt(failAt);
            RegNode* n = MakeNode(RandomName(rng));
            if (n && !RootNode->AddKeyNode(n)) delete n;
            ExpectAgreement(rng, key);  // indexes that cannot be built are not used
            zrAllocFailAt(0);
            ExpectAgreement(rng, key);
        }
        zrAllocFailAt(0);
        ExpectAgreement(rng, key);
        ResetRegistry();
    }
}

// Removals keep an index in step instead of dropping it: a key that loses values one by
// one while it is searched never builds its index again (an index dropped on every
// removal still answers rightly, but each lookup then pays for a new one).
TEST_F(IndexTest, RemovalsKeepTheIndex) {
    RootNode = MakeNode("My Computer");
    for (int i = 0; i < 2000; ++i) {
        std::string name = "v" + std::to_string(i);
        ASSERT_TRUE(RootNode->AddValue(RegKeyValue::MakeFromText(name.c_str(), REG_INT, "1")));
        ASSERT_TRUE(RootNode->AddKeyNode(MakeNode(name)));
    }
    ASSERT_NE(RootNode->ValueIndex(), nullptr);
    ASSERT_NE(RootNode->KeyIndex(), nullptr);
    zrAllocFailAt(0);
    for (int i = 0; i < 200; ++i) {
        std::string name = "v" + std::to_string(i * 7);
        int slot = -1;
        ASSERT_NE(RootNode->FindValue(name.c_str(), &slot), nullptr);
        delete RootNode->TakeValue(slot);
        ASSERT_NE(RootNode->FindKeyNode(name.c_str(), &slot), nullptr);
        delete RootNode->TakeKeyNode(slot);
    }
    EXPECT_LT(zrAllocCount(), 20);
}

// Names that compare equal must hash alike, and names that differ in one byte apart (a
// tail read that lost a byte would pile such names onto one home): every byte in every
// place of a word and of a word's tail, beside its folded self.
TEST(NameHash, EqualNamesHashAlikeAndOthersApart) {
    for (size_t len = 1; len <= 17; ++len) {
        for (size_t at = 0; at < len; ++at) {
            std::string name(len, 'q');
            std::set<uint32_t> seen;
            for (int b = 1; b < 256; ++b) {
                name[at] = static_cast<char>(b);
                std::string folded = name;
                folded[at] = static_cast<char>(zrFold(static_cast<unsigned char>(b)));
                uint32_t h = NameIndex::Hash(name.data(), len);
                ASSERT_EQ(h, NameIndex::Hash(folded.data(), len))
                    << "byte " << b << " at " << at << " of " << len;
                if (folded == name) {
                    ASSERT_TRUE(seen.insert(h).second) << "byte " << b << " at " << at << " of " << len;
                }
            }
        }
    }
}

// A load builds the index of a list of kRegIndexAtLoad entries or more, so that its first
// lookup allocates nothing; a shorter list's index waits for its first lookup.
TEST_F(IndexTest, TheLoadIndexesLongLists) {
    TempDir dir;
    for (int n : {kRegIndexAtLoad - 1, kRegIndexAtLoad}) {
        std::string text = "KEY \"My Computer\"\n(\n";
        for (int i = 0; i < n; ++i) text += "[REG_INT] \"Value" + std::to_string(i) + "\" = 1;\n";
        for (int i = 0; i < n; ++i) text += "KEY \"Key" + std::to_string(i) + "\" ( )\n";
        WriteBytes(dir.File("r.txt"), text + ")\n");
        ASSERT_EQ(LoadRegistry(dir.File("r.txt").c_str()), 0u);
        zrAllocFailAt(0);
        std::string last = std::to_string(n - 1);
        EXPECT_NE(RootNode->FindValue(("VALUE" + last).c_str(), nullptr), nullptr);
        EXPECT_NE(RootNode->FindKeyNode(("key" + last).c_str(), nullptr), nullptr);
        EXPECT_EQ(zrAllocCount() == 0, n >= kRegIndexAtLoad) << n;
        UnloadRegistry();
    }
}

}  // namespace
