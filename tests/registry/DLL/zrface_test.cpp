// The C++ face (zrregdll.hpp) as a host uses it, through the shared library: text conversion, paths,
// optional reads, errors in both forms, keys closing themselves, the ranges and the registry's life.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
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

TEST(FaceErrors, TheCategoriesNameEveryCode) {
    const int codes[] = {ZRREG_NO_MEMORY,     ZRREG_INVALID_HANDLE,   ZRREG_NOT_FOUND, ZRREG_BUFFER_TOO_SMALL,
                         ZRREG_KEY_NOT_FOUND, ZRREG_NOT_LOADED,       ZRREG_KEY_BUSY,  ZRREG_BAD_NAME,
                         ZRREG_NO_MORE_ITEMS, ZRREG_UNSUPPORTED_TYPE, ZRREG_BAD_ARG};
    for (int c : codes) {
        std::error_code ec = static_cast<zrreg::errc>(c);
        ASSERT_NE(zrreg::result_name(c), nullptr) << c;
        EXPECT_NE(ec.message().find(zrreg::result_name(c)), std::string::npos) << ec.message();
        EXPECT_STREQ(ec.category().name(), "zrregdll");
    }
    EXPECT_EQ(std::error_code(zrreg::errc::not_found).message(), "no such key or value (ZRREG_NOT_FOUND)");
    EXPECT_EQ(std::error_code(zrreg::load_errc::no_file).message(),
              "the file cannot be opened (ZRREG_LOAD_NO_FILE)");
    EXPECT_NE(std::error_code(zrreg::errc::not_found), std::error_code(zrreg::load_errc::no_file));
    EXPECT_EQ(zrreg::result_name(4711), nullptr);
    EXPECT_EQ(std::error_code(4711, zrreg::result_category()).message(), "unknown result 4711");
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
        {"a character above U+00FF", [&](auto& ec) { k.set("Price", "5 \xE2\x82\xAC", ec); },
         [&] { k.set("Price", "5 \xE2\x82\xAC"); }, zrreg::errc::bad_name,
         "set \"Price\": the text holds U+20AC, which the registry cannot hold (it holds characters up to "
         "U+00FF)"},
        {"a double quote in the text", [&](auto& ec) { k.set("Q", "say \"hi\"", ec); },
         [&] { k.set("Q", "say \"hi\""); }, zrreg::errc::bad_name, "the text holds a double quote"},
        {"a line feed in the name", [&](auto& ec) { k.set("a\nb", 1, ec); }, [&] { k.set("a\nb", 1); },
         zrreg::errc::bad_name, "the name holds a line feed"},
        {"a text too long", [&](auto& ec) { k.set("L", "a " + std::string(9997, 'x'), ec); },
         [&] { k.set("L", "a " + std::string(9997, 'x')); }, zrreg::errc::bad_name, "longer than 9998 bytes"},
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
