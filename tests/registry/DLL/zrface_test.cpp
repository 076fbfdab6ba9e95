// The C++ face (zrregdll.hpp) as a host uses it, through the shared library: text conversion, paths,
// optional reads, errors in both forms, keys closing themselves, the ranges and the registry's life.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "zrregdll.hpp"

namespace fs = std::filesystem;

namespace {

const char kEmpty[] =
    "KEY \"My Computer\"\n(\n  KEY \"HKEY_LOCAL_MACHINE\"\n  (\n  )\n  KEY \"HKEY_CURRENT_USER\"\n  (\n  "
    ")\n)\n";

class Face : public ::testing::Test {
protected:
    void SetUp() override {
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() / ("zrface-" + std::to_string(now) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        file_ = (dir_ / "app.txt").string();
        std::ofstream(file_) << kEmpty;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string FileText() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    std::string file_;
};

TEST(FaceText, ConvertsAsZrregDoes) {
    struct Case {
        std::string in;
        std::u16string wide;  // empty: refused
        const char* why;
    } cases[] = {
        {"Ardo", u"Ardo", ""},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         u"Gr\u00FC\u00DFe", ""},  // UTF-8 decoded
        {"Gr\xFC\xDF"
         "e",
         u"Gr\u00FC\u00DFe", ""},                     // not UTF-8: byte for byte
        {"\xC3\xA9\xE9", u"\u00C3\u00A9\u00E9", ""},  // one bad byte makes all of it bytes
        {"\xC0\xAF", u"\u00C0\u00AF", ""},            // an overlong form is no UTF-8
        {"5 \xE2\x82\xAC", u"", "holds U+20AC"},      // above U+00FF
        {"\xF0\x9F\x98\x80", u"", "holds U+1F600"},
        {std::string("a\0b", 3), u"", "holds a NUL character"},  // would end the text early
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        zrreg::detail::wide w;
        std::string why;
        bool ok = zrreg::detail::to_wide(c.in, w, &why);
        ASSERT_EQ(ok, c.wide.size() > 0);
        if (ok) {
            EXPECT_EQ(std::u16string(w.begin(), w.end() - 1), c.wide);
            EXPECT_EQ(w.back(), 0);
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        }
    }
}

TEST(FaceText, PathsFromTheRoot) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"HKCU\\Software\\MORVANE", "HKEY_CURRENT_USER\\Software\\MORVANE"},
        {"hkcu/Software//MORVANE/", "HKEY_CURRENT_USER\\Software\\MORVANE"},
        {"My Computer\\HKLM", "HKEY_LOCAL_MACHINE"},
        {"my computer", ""},
        {"", ""},
        {"HKU/x", "HKEY_USERS\\x"},
        {"Software\\HKCU", "Software\\HKCU"},  // only a first level stands for a hive
        {"HKCUSoftware", "HKCUSoftware"},
    };
    for (const Case& c : cases) EXPECT_EQ(zrreg::detail::root_path(c.in), c.out) << c.in;
}

// The #defines of the header's block that opens with the comment `title`, as name and number: a
// code added there later without a name in the face fails the test below.
std::vector<std::pair<std::string, int>> HeaderResults(const std::string& title) {
    std::ifstream in(ZR_HEADER);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    for (std::size_t at; (at = text.find("\\\n")) != std::string::npos;) text.replace(at, 2, " ");
    std::size_t from = text.find(title);
    if (from == std::string::npos) return {};
    std::string block = text.substr(from, text.find("\n\n", from) - from);
    std::vector<std::pair<std::string, int>> found;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string define, name, value;
        if (!(words >> define >> name >> value) || define != "#define") continue;
        found.emplace_back(name, value == "((int32_t)-1)" ? -1 : std::stoi(value));
    }
    return found;
}

TEST(FaceErrors, EveryResultOfTheHeaderHasItsName) {
    auto results = HeaderResults("/* Results of the key and value functions");
    ASSERT_GE(results.size(), 13u);
    for (const auto& [name, code] : results) {
        SCOPED_TRACE(name);
        std::error_code ec = static_cast<zrreg::errc>(code);
        ASSERT_NE(zrreg::result_name(code), nullptr);
        EXPECT_EQ(zrreg::result_name(code), name);
        EXPECT_NE(ec.message().find("(" + name + ")"), std::string::npos) << ec.message();
        EXPECT_STREQ(ec.category().name(), "zrregdll");
    }
    auto loads = HeaderResults("/* Results of ZrLoadRegistry.");
    ASSERT_GE(loads.size(), 4u);
    for (const auto& [name, code] : loads) {
        std::string said = std::error_code(code, zrreg::load_category()).message();
        EXPECT_NE(said.find("(" + name + ")"), std::string::npos) << said;
    }
    EXPECT_EQ(std::error_code(zrreg::errc::write_fault).message(),
              "the change could not be written to disk (full, I/O error) (ZRREG_WRITE_FAULT)");
    EXPECT_EQ(std::error_code(zrreg::errc::not_found).message(), "no such key or value (ZRREG_NOT_FOUND)");
    EXPECT_NE(std::error_code(zrreg::errc::not_found), std::error_code(zrreg::load_errc::no_file));
    EXPECT_EQ(zrreg::result_name(4711), nullptr);
    EXPECT_EQ(std::error_code(4711, zrreg::result_category()).message(), "unknown result 4711");
}

// A C host's texts: ZRREG_TEXT's literals, and UTF-8 both ways through the header's inline functions,
// which convert as the face and zrreg do.
TEST(FaceText, TheHeadersTextHelpers) {
    const unsigned short* lit = ZRREG_TEXT("Software\\Gr\u00FC\u00DFe");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(lit)), u"Software\\Gr\u00FC\u00DFe");
    struct Case {
        const char* utf8;
        uint32_t room;
        const char16_t* wide;  // null: refused
    } cases[] = {
        {"Ardo", 5, u"Ardo"},
        {"Ardo", 4, nullptr},  // no room for the terminator
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         8, u"Gr\u00FC\u00DFe"},
        {"Gr\xFC\xDF"
         "e",
         8, u"Gr\u00FC\u00DFe"},                               // not UTF-8: byte for byte
        {"\xC3\xA9\xE9", 8, u"\u00C3\u00A9\u00E9"},            // one bad byte makes all of it bytes
        {"\xC0\xAF", 8, u"\u00C0\u00AF"},                      // an overlong form is no UTF-8
        {"\xED\xA0\x80", 8, u"\u00ED\u00A0\u0080"},            // nor a surrogate
        {"\xC3", 8, u"\u00C3"},                                // a character cut short by the end
        {"5 \xE2\x82\xAC", 8, nullptr},                        // above U+00FF
        {"\xE2\x82\xAC\xFF", 8, u"\u00E2\u0082\u00AC\u00FF"},  // unless the text is no UTF-8
        {"", 1, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        unsigned short out[16];
        const unsigned short* got = ZrTextFromUtf8(c.utf8, out, c.room);
        ASSERT_EQ(got != nullptr, c.wide != nullptr);
        if (!got) continue;
        EXPECT_EQ(got, out);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(got)), c.wide);
    }
    char utf8[8];
    const unsigned short gruss[] = {'G', 0xFC, 0xDF, 'e', 0}, wide[] = {0x20AC, 0};
    ASSERT_NE(ZrTextToUtf8(gruss, utf8, 7), nullptr);
    EXPECT_STREQ(utf8,
                 "G\xC3\xBC\xC3\x9F"
                 "e");
    EXPECT_EQ(ZrTextToUtf8(gruss, utf8, 6), nullptr);  // six bytes and the terminator
    EXPECT_EQ(ZrTextToUtf8(wide, utf8, 8), nullptr);
}

TEST_F(Face, ASessionIsWrittenBackAndReadAgain) {
    {
        zrreg::registry reg(file_);
        zrreg::key k = reg.create("HKCU/Software/MORVANE/Ardo");
        k.set("Title",
              "Gr\xC3\xBC\xC3\x9F"
              "e");
        k.set("Left", -1920);
        k.set("Mask", 0xFFFF0000u);
        k.set("Empty", "");
    }
    EXPECT_NE(FileText().find("\"Title\" = \"Gr\xFC\xDF"
                              "e\""),
              std::string::npos)
        << FileText();

    zrreg::registry reg(file_);
    zrreg::key k = reg.open("hkcu\\software\\morvane\\ardo");
    EXPECT_EQ(k.get_string("title"),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(k.get_string("Empty"), "");
    EXPECT_EQ(k.get_int("Left"), -1920);
    EXPECT_EQ(k.get_dword("Left"), 0xFFFFF880u);
    EXPECT_EQ(k.get_dword("Mask"), 0xFFFF0000u);
    // Absent or of the other type: empty, and the error_code form says which.
    EXPECT_EQ(k.get_string("Left"), std::nullopt);
    EXPECT_EQ(k.get_dword("Title"), std::nullopt);
    EXPECT_EQ(k.get_string("Nothing"), std::nullopt);
    std::error_code ec;
    EXPECT_EQ(k.get_dword("Title", ec), std::nullopt);
    EXPECT_EQ(ec, zrreg::errc::unsupported_type);
    EXPECT_EQ(k.get_string("Nothing", ec), std::nullopt);
    EXPECT_EQ(ec, zrreg::errc::not_found);
    EXPECT_EQ(k.get_string("Title", ec).value_or(""),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_FALSE(ec);
}

// Texts longer than the reads' first guess come whole through the reads and the value range.
TEST_F(Face, LongTextsGrowTheirRoom) {
    zrreg::registry reg(file_);
    zrreg::key k = reg.create("HKLM\\Long");
    const std::string text(9998, 'x'), name(255, 'n');
    k.set(name, text);
    EXPECT_EQ(k.get_string(name), text);
    int seen = 0;
    for (const zrreg::value& v : k.values()) {
        EXPECT_EQ(v.name, name);
        EXPECT_EQ(v.text(), text);
        ++seen;
    }
    EXPECT_EQ(seen, 1);
}

TEST_F(Face, FailuresInBothForms) {
    zrreg::registry reg(file_);
    zrreg::key k = reg.create("HKCU\\App");
    zrreg::key sub = k.create("Open");
    struct Case {
        const char* what;
        std::function<void(std::error_code&)> withCode;
        std::function<void()> throwing;
        zrreg::errc code;
        const char* says;  // in the exception's message
    } cases[] = {
        {"open a missing key", [&](auto& ec) { k.open("None", ec); }, [&] { k.open("None"); },
         zrreg::errc::not_found, "open \"None\": no such key or value (ZRREG_NOT_FOUND)"},
        {"a path from the root to nowhere", [&](auto& ec) { reg.open("HKCU\\None", ec); },
         [&] { reg.open("HKCU\\None"); }, zrreg::errc::not_found, "open \"HKCU\\None\""},
        {"a character above U+00FF in a name", [&](auto& ec) { k.set("5 \xE2\x82\xAC", "x", ec); },
         [&] { k.set("5 \xE2\x82\xAC", "x"); }, zrreg::errc::bad_name,
         "set \"5 \xE2\x82\xAC\": the name holds U+20AC, which the registry cannot hold (it holds characters "
         "up to U+00FF)"},
        {"a double quote in a name", [&](auto& ec) { k.set_qword("say \"hi\"", 1, ec); },
         [&] { k.set_qword("say \"hi\"", 1); }, zrreg::errc::bad_name, "the name holds a double quote"},
        {"a line feed in the name", [&](auto& ec) { k.set("a\nb", 1, ec); }, [&] { k.set("a\nb", 1); },
         zrreg::errc::bad_name, "the name holds a line feed"},
        {"a key name too long", [&](auto& ec) { k.create(std::string(256, 'k'), ec); },
         [&] { k.create(std::string(256, 'k')); }, zrreg::errc::bad_name, "the name is 256 characters"},
        {"a subkey held open", [&](auto& ec) { k.remove_subkey("Open", ec); },
         [&] { k.remove_subkey("Open"); }, zrreg::errc::key_busy, "(ZRREG_KEY_BUSY)"},
        {"a tree with an open key", [&](auto& ec) { k.remove_tree("", ec); }, [&] { k.remove_tree(""); },
         zrreg::errc::key_busy, "delete the tree"},
        {"a value that is not there", [&](auto& ec) { k.remove_value("None", ec); },
         [&] { k.remove_value("None"); }, zrreg::errc::not_found, "delete the value \"None\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec = zrreg::errc::bad_arg;
        c.withCode(ec);
        EXPECT_EQ(ec, c.code) << ec.message();
        try {
            c.throwing();
            ADD_FAILURE() << "no exception";
        } catch (const zrreg::error& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(k.value_count(), 0u);  // nothing refused was written
}

// Every type set and read typed, the same after the registry was written back and loaded again, and
// through the value range; a read of another type or form is empty.
TEST_F(Face, EveryTypeTypedBothWays) {
    const std::string text = "say \"hi\"\r\n\xE2\x82\xAC \xF0\x9F\x98\x80" + std::string(1, '\0') + "end";
    const std::vector<std::string> texts = {"a", "", "\xE2\x82\xAC"};
    const std::vector<std::byte> blob = {std::byte{0}, std::byte{0xFF}, std::byte{0x22}};
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        zrreg::registry reg(file_);
        zrreg::key k = reg.create("HKCU/Typed");
        if (pass == 0) {
            k.set("Text", text);
            k.set_expand_string("Path", "%TEMP%\\x");
            k.set_multi_string("List", texts);
            k.set_binary("Blob", blob);
            k.set_qword("Big", 0x8000000000000001ull);
            k.set_value("Odd", 0x1234, "\x01", 1);
            k.set("Plain", "plain");
        }
        EXPECT_EQ(k.get_string("Text"), text);
        EXPECT_EQ(k.get_expand_string("Path"), "%TEMP%\\x");
        EXPECT_EQ(k.get_multi_string("List"), texts);
        EXPECT_EQ(k.get_binary("Blob"), blob);
        EXPECT_EQ(k.get_qword("Big"), 0x8000000000000001ull);
        EXPECT_EQ(k.get_value("Odd")->bytes(), std::vector<std::byte>{std::byte{1}});
        EXPECT_EQ(k.get_value("Odd")->type_number, 0x1234u);
        EXPECT_EQ(k.get_string("Blob"), std::nullopt);
        EXPECT_EQ(k.get_qword("Blob"), std::nullopt);
        std::vector<std::pair<std::string, zrreg::value_type>> seen;
        for (const zrreg::value& v : k.values()) {
            seen.emplace_back(v.name, v.type());
            if (v.name == "Text") {
                EXPECT_EQ(v.text(), text);
            }
            if (v.name == "List") {
                EXPECT_EQ(v.texts(), texts);
            }
            if (v.name == "Big") {
                EXPECT_EQ(v.qword(), 0x8000000000000001ull);
            }
            if (v.name == "Plain") {
                EXPECT_EQ(v.text(), "plain");
            }
        }
        using T = zrreg::value_type;
        EXPECT_EQ(seen, (std::vector<std::pair<std::string, T>>{{"Text", T::string},
                                                                {"Path", T::expand_string},
                                                                {"List", T::multi_string},
                                                                {"Blob", T::binary},
                                                                {"Big", T::qword},
                                                                {"Odd", static_cast<T>(0x1234)},
                                                                {"Plain", T::string}}));
    }
    EXPECT_NE(FileText().find("[REG_SZ] \"Plain\" = \"plain\";"), std::string::npos) << FileText();
}

// Keys close themselves when they go, once, moved or not; the library's own handles are never closed.
TEST_F(Face, KeysCloseThemselves) {
    zrreg::registry reg(file_);
    zrreg::key app = reg.create("HKCU\\App");
    {
        zrreg::key a = app.create("A");
        zrreg::key b = std::move(a);
        EXPECT_FALSE(a);
        std::error_code ec;
        app.remove_subkey("A", ec);
        EXPECT_EQ(ec, zrreg::errc::key_busy);
    }
    app.remove_subkey("A");

    zrreg::key x = app.create("X");
    x = app.create("Y");  // X's handle closes at the assignment
    app.remove_subkey("X");
    std::error_code ec;
    app.remove_subkey("Y", ec);
    EXPECT_EQ(ec, zrreg::errc::key_busy);
    x.close();
    app.remove_subkey("Y");

    { zrreg::key hkcu = reg.hkcu(); }
    zrreg::key hkcu = reg.hkcu();
    EXPECT_EQ(hkcu.native_handle(), HkeyHKCU());
    EXPECT_EQ(hkcu.open("App").subkey_count(), 0u);
    zrreg::key root = reg.open("My Computer");
    EXPECT_EQ(root.native_handle(), HkeyRegRoot());
}

TEST_F(Face, RangesOverSubkeysAndValues) {
    zrreg::registry reg(file_);
    zrreg::key k = reg.create("HKCU\\App");
    for (const char* name : {"One", "Two", "Dr\xC3\xA9i"}) k.create(name);
    k.set("s", "text");
    k.set("n", 7);
    k.set("", "default");

    std::vector<std::string> names;
    for (const std::string& n : k.subkeys()) names.push_back(n);
    EXPECT_EQ(names, (std::vector<std::string>{"One", "Two", "Dr\xC3\xA9i"}));
    names.clear();
    for (const std::string& n : reg.open("HKCU\\App").subkeys()) names.push_back(n);  // the key lives on
    EXPECT_EQ(names.size(), 3u);
    std::vector<std::string> shown;
    for (const zrreg::value& v : k.values())
        shown.push_back(v.name + "=" + (v.is_string() ? v.text() : std::to_string(v.dword())));
    EXPECT_EQ(shown, (std::vector<std::string>{"s=text", "n=7", "=default"}));
    EXPECT_EQ(k.subkey_count(), 3u);
    EXPECT_EQ(k.value_count(), 3u);
    std::error_code ec;
    EXPECT_EQ(std::distance(k.values(ec).begin(), k.values(ec).end()), 3);
    EXPECT_FALSE(ec);

    // A key deleted under its handle: the error_code form ends the loop and says why; the other throws.
    zrreg::key gone = k.open("One");
    zrreg::key top = reg.open("HKCU");
    k = zrreg::key();
    top.remove_subkey("App");  // only "One" below it is still open, which does not stop it
    int n = 0;
    for (const std::string& s : gone.subkeys(ec)) n += static_cast<int>(s.size());
    EXPECT_EQ(n, 0);
    EXPECT_EQ(ec, zrreg::errc::key_not_found);
    EXPECT_THROW(for (const zrreg::value& v : gone.values())(void) v, zrreg::error);
    EXPECT_THROW(gone.value_count(), zrreg::error);
    EXPECT_THROW(gone.get_string("x"), zrreg::error);  // not the same as a missing value
}

// Renames keep the entry's place; a taken name, a missing one and an open subkey fail in both forms.
TEST_F(Face, RenamesInBothForms) {
    zrreg::registry reg(file_);
    zrreg::key k = reg.create("HKCU\\App");
    for (const char* name : {"One", "Two", "Three"}) k.create(name);
    k.set("a", "x");
    k.set("b", 7);
    k.rename_subkey("Two", "Deux");
    k.rename_value("a", "A2");
    std::vector<std::string> names;
    for (const std::string& n : k.subkeys()) names.push_back(n);
    EXPECT_EQ(names, (std::vector<std::string>{"One", "Deux", "Three"}));
    names.clear();
    for (const zrreg::value& v : k.values()) names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A2", "b"}));

    std::error_code ec;
    k.rename_subkey("One", "three", ec);
    EXPECT_EQ(ec, zrreg::errc::already_exists);
    k.rename_value("gone", "c", ec);
    EXPECT_EQ(ec, zrreg::errc::not_found);
    zrreg::key open = k.open("One");
    EXPECT_THROW(k.rename_subkey("One", "Eins"), zrreg::error);
    open = zrreg::key();
    k.rename_subkey("One", "Eins", ec);
    EXPECT_FALSE(ec);
}

// A flush of a live key succeeds; one of a closed key fails in both forms.
TEST_F(Face, FlushesTheChanges) {
    zrreg::registry reg(file_);
    zrreg::key k = reg.create("HKLM\\Flushed");
    k.set("n", 7u);
    k.flush();
    zrreg::key gone = reg.create("HKLM\\Gone");
    gone.close();
    std::error_code ec;
    gone.flush(ec);
    EXPECT_TRUE(ec);
    EXPECT_THROW(gone.flush(), zrreg::error);
}

TEST_F(Face, LoadsAndUnloads) {
    std::error_code ec;
    zrreg::registry none = zrreg::registry::load((dir_ / "missing.txt").string(), ec);
    EXPECT_EQ(ec, zrreg::load_errc::no_file);
    EXPECT_FALSE(none);
    std::error_code nl;
    none.open("HKCU", nl);
    EXPECT_EQ(nl, zrreg::errc::not_loaded);
    EXPECT_THROW(none.create("HKCU\\X"), zrreg::error);

    std::ofstream(dir_ / "bad.txt") << "KEY \"My Computer\"\n(\n";
    try {
        zrreg::registry bad((dir_ / "bad.txt").string());
        ADD_FAILURE();
    } catch (const zrreg::error& e) {
        EXPECT_EQ(e.code(), zrreg::load_errc::refused);
        EXPECT_NE(std::string(e.what()).find("ZRREG_LOAD_REFUSED"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("bad.txt\": line: 3 - syntax error: "), std::string::npos)
            << e.what();
    }

    zrreg::registry reg = zrreg::registry::load(file_, ec);
    ASSERT_FALSE(ec);
    zrreg::registry second = zrreg::registry::load(file_, ec);
    EXPECT_EQ(ec, zrreg::load_errc::refused);
    zrreg::key k = reg.create("HKLM\\Kept");
    zrreg::registry moved = std::move(reg);
    EXPECT_FALSE(reg);
    EXPECT_TRUE(k.get_string("x") == std::nullopt);
    k.close();
    moved.unload();
    EXPECT_NE(FileText().find("Kept"), std::string::npos);

    // A key that outlives its registry is dead: it reads nothing and closes harmlessly.
    zrreg::registry again(file_);
    zrreg::key late = again.open("HKLM\\Kept");
    again.unload();
    EXPECT_THROW(late.set("x", 1), zrreg::error);
    late.close();
    zrreg::registry third(file_);
    EXPECT_TRUE(third.open("HKLM").open("Kept"));
}

// A registry from nothing: the root key only, as zrreg init writes it, made once and never written
// over; what cannot be made is said with the system's reason.
TEST_F(Face, CreateWritesTheEmptyRegistryOnce) {
    const std::string fresh = (dir_ / "new.txt").string();
    {
        zrreg::registry reg(fresh, zrreg::if_missing::create);
        EXPECT_EQ(reg.root().subkey_count(), 0u);
    }
    // Read and closed at once: on Windows a reader left open keeps the unload below from
    // replacing the file.
    std::stringstream bytes;
    {
        std::ifstream in(fresh, std::ios::binary);
        bytes << in.rdbuf();
    }
    EXPECT_EQ(bytes.str(), "KEY \"My Computer\"\n(\n)\n");
    {
        zrreg::registry reg(fresh, zrreg::if_missing::create);
        reg.create("HKCU\\App").set("v", 1);
    }
    std::error_code ec;
    zrreg::registry again = zrreg::registry::load(fresh, ec, zrreg::if_missing::create);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(again.open("HKCU\\App").get_int("v"), 1);  // there already: loaded as it is
    again.unload();

    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"app.txt", "new.txt"}));  // no temporary file stays
#ifdef ZR_ZRREG
    // The same bytes as zrreg init writes.
    const fs::path init = dir_ / "init.txt";
    ASSERT_EQ(std::system((std::string(ZR_ZRREG) + " init " + init.string()).c_str()), 0);
    std::ifstream made(init, std::ios::binary);
    std::stringstream by_init;
    by_init << made.rdbuf();
    EXPECT_EQ(by_init.str(), bytes.str());
#endif
}

TEST_F(Face, CreateRacesMakeOneFile) {
    const std::string path = (dir_ / "raced.txt").string();
    std::vector<std::thread> threads;
    std::vector<std::error_code> got(8);
    for (std::size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = zrreg::detail::create_file(path); });
    for (auto& t : threads) t.join();
    for (const auto& ec : got) EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(fs::file_size(path), sizeof "KEY \"My Computer\"\n(\n)\n" - 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(Face, LoadFailuresNameTheFileAndWhy) {
    std::ofstream(dir_ / "empty.txt");
    struct Case {
        fs::path path;
        zrreg::if_missing missing;
        std::error_code code;
        std::string says;
    } cases[] = {
        {dir_ / "missing.txt", zrreg::if_missing::fail, zrreg::load_errc::no_file,
         ": there is no such file (zrreg init, or if_missing::create, writes an empty registry file): "},
        {dir_, zrreg::if_missing::fail, zrreg::load_errc::no_file, ": it is a directory: "},
        {dir_ / "empty.txt", zrreg::if_missing::create, zrreg::load_errc::refused,
         ": the file is empty, where a registry file holds at least its root key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        try {
            zrreg::registry reg(c.path.string(), c.missing);
            ADD_FAILURE();
        } catch (const zrreg::error& e) {
            EXPECT_EQ(e.code(), c.code);
            std::string what = e.what();
            EXPECT_EQ(what.find("zrregdll: load \"" + c.path.string() + "\"" + c.says), 0u) << what;
        }
    }
    EXPECT_EQ(fs::file_size(dir_ / "empty.txt"), 0u);  // never written over

    std::error_code ec;
    zrreg::registry::load((dir_ / "nodot").string(), ec, zrreg::if_missing::create);
    EXPECT_EQ(ec, std::errc::invalid_argument);
    EXPECT_FALSE(fs::exists(dir_ / "nodot"));
    const std::string nowhere = (dir_ / "no" / "dir.txt").string();
    zrreg::registry::load(nowhere, ec, zrreg::if_missing::create);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
    try {
        zrreg::registry reg(nowhere, zrreg::if_missing::create);
        ADD_FAILURE();
    } catch (const zrreg::error& e) {
        EXPECT_EQ(std::string(e.what()), "zrregdll: create \"" + nowhere + "\": " + ec.message());
    }
    try {
        zrreg::registry reg((dir_ / "nodot").string(), zrreg::if_missing::create);
        ADD_FAILURE();
    } catch (const zrreg::error& e) {
        EXPECT_NE(
            std::string(e.what()).find("nodot\": it cannot be saved: the library names its temporary file"),
            std::string::npos)
            << e.what();
    }
}

// A token over the scanner's length limit is a refused load through the face, which the process
// survives: an error_code, or an error that names the line; the message printed as the library
// prints it, or given to the host's handler with the other messages of a load. A good file loads
// after it.
TEST_F(Face, ATokenOverTheLimitIsARefusedLoad) {
    const std::string bad = (dir_ / "long.txt").string(), odd = (dir_ / "odd.txt").string();
    std::ofstream(bad) << "KEY \"My Computer\"\n(\n  [REG_SZ] \"a\" = \"" << std::string(12000, 'x')
                       << "\";\n)\n";
    std::ofstream(odd) << "KEY \"My Computer\"\n(\n  \"stray\n)\n";

    std::error_code ec;
    testing::internal::CaptureStdout();
    zrreg::registry none = zrreg::registry::load(bad, ec);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Input string too long, limit 10000\n");
    EXPECT_EQ(ec, zrreg::load_errc::refused);
    EXPECT_FALSE(none);
    try {
        testing::internal::CaptureStdout();
        zrreg::registry thrown(bad);
        ADD_FAILURE();
    } catch (const zrreg::error& e) {
        EXPECT_EQ(e.code(), zrreg::load_errc::refused);
        EXPECT_NE(std::string(e.what()).find("long.txt\": line 3: Input string too long, limit 10000: "),
                  std::string::npos)
            << e.what();
    }
    testing::internal::GetCapturedStdout();

    std::vector<std::tuple<zrreg::message_kind, std::uint32_t, std::string>> heard;
    zrreg::set_message_handler([&heard](const zrreg::message& m) {
        heard.emplace_back(m.kind, m.line, std::string(m.text));
        throw std::runtime_error("dropped");  // the face keeps it from the library
    });
    testing::internal::CaptureStdout();
    zrreg::registry::load(bad, ec);
    EXPECT_EQ(ec, zrreg::load_errc::refused);
    zrreg::registry loads = zrreg::registry::load(odd, ec);
    EXPECT_FALSE(ec);
    loads.unload();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    using M = std::tuple<zrreg::message_kind, std::uint32_t, std::string>;
    EXPECT_EQ(heard, (std::vector<M>{{zrreg::message_kind::too_long, 3, "Input string too long, limit 10000"},
                                     {zrreg::message_kind::syntax, 3, "line 3 - FATAL: Runaway string"},
                                     {zrreg::message_kind::syntax, 3, "Error in line: 3"}}));

    zrreg::set_message_handler({});
    testing::internal::CaptureStdout();
    zrreg::registry::load(bad, ec);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Input string too long, limit 10000\n");
    EXPECT_EQ(ec, zrreg::load_errc::refused);
    zrreg::registry good(file_);
    EXPECT_TRUE(good.open("HKLM"));
}

}  // namespace
