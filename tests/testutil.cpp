// Shared test helpers.
#include "testutil.h"

#include <string.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

RegBuilder g_build = {nullptr, &RootNode, nullptr, 0, 0, 0, nullptr};

void ResetRegistry() {
    cfRegCloseRoot();
    cfRegClosePredefined();
    RegHandleFreeAll();
    bRegChanged = 0;
    NodeStackEnd();
    delete RootNode;
    RootNode = nullptr;
    lRegLoadCnt = 0;
    lineno = 1;
    zrAllocFailAt(0);
    RegViewUseLog(true);
}

void RegistryTest::SetUp() {
    ResetRegistry();
    NodeStackBegin();
}

void RegistryTest::TearDown() { ResetRegistry(); }

char* Dup(const char* s) { return zrStrdup(s); }

RegNode* AddKey(const char* name) {
    if (CreateKeyNode(name) != 0) return nullptr;
    RegNode* node = NodeStackTop();
    EndKeyNode(name);
    return node;
}

void KeyTreeTest::SetUp() {
    RegistryTest::SetUp();
    ASSERT_EQ(CreateKeyNode("My Computer"), 0);
    AddKey("Software");
    Within("My Computer/Software", [] {
        AddValue(Dup("abc"), REG_SZ, Dup("abc"));
        AddValue(Dup("n300"), REG_INT, Dup("300"));
        AddValue(Dup("neg"), REG_INT, Dup("-5"));
        AddKey("A");
        AddKey("bb");
    });
    AddKey("Empty");
    EndKeyNode("My Computer");
    MarkLoaded();
    rootKey = s_hkeyRoot;
    root = HkeyRegRoot();
}

void MarkLoaded() {
    lRegLoadCnt = 1;
    ASSERT_EQ(cfRegOpenRoot(), 0);
}

static void Dump(RegNode* node, int depth, bool counts, std::string& out) {
    std::string pad(static_cast<size_t>(depth) * 2, ' ');
    out += pad + "[" + node->GetName() + "]";
    if (counts && node->GetOpenCnt()) out += " open=" + std::to_string(node->GetOpenCnt());
    out += "\n";
    RegKeyValueList* values = node->GetRegKeyValueList();
    for (int i = 0; i < values->GetSize(); ++i) {
        RegKeyValue* v = values->GetAt(i);
        out += pad + "  " + v->GetKey() + " = ";
        if (v->GetType() == REG_INT) {
            out += std::to_string(v->GetInt());
        } else if (v->GetType() == REG_SZ) {
            out += std::string("\"") + static_cast<char*>(v->GetValue()) + "\"";
        } else {
            out += "type " + std::to_string(v->WinType()) + ":";
            const unsigned char* d = static_cast<const unsigned char*>(v->GetValue());
            char hex[4];
            for (int b = 0; b < v->GetSize(); ++b) out += (snprintf(hex, sizeof hex, " %02x", d[b]), hex);
        }
        out += "\n";
    }
    RegNodeList* subs = node->GetRegNodeList();
    for (int i = 0; i < subs->GetSize(); ++i) Dump(subs->GetAt(i), depth + 1, counts, out);
}

std::string DumpTree(RegNode* node, bool counts) {
    std::string out;
    if (node) Dump(node, 0, counts, out);
    return out;
}

std::u16string W(const std::string& s) {
    std::u16string w;
    for (unsigned char c : s) w += static_cast<char16_t>(c);
    return w;
}

TempDir::TempDir() {
    static std::atomic<int> serial;
    std::error_code ec;
    fs::path base = "/dev/shm";
    if (!fs::is_directory(base, ec)) base = fs::temp_directory_path();
    path_ = base / ("zrreg-" + std::to_string(std::random_device()()) + "-" + std::to_string(++serial));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::set<std::string> TempDir::Names(const fs::path& sub) const {
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(path_ / sub)) names.insert(e.path().filename().string());
    return names;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Unix(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

std::string TreeInFile(const std::string& path) {
    if (ZrLoadRegistry(path.c_str()) != 0) return "(does not load)";
    std::string tree = DumpTree(RootNode, false);
    ZrUnloadRegistry();
    return tree;
}
