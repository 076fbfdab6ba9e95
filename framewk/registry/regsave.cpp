// The registry file writer: the tree in the file's own syntax, via a temporary file.
#include <errno.h>
#include <limits.h>
#include <string.h>

#include "regfile.h"
#include "zrplat.h"

// A text of up to REGFILE_TEXT_MAX bytes is written between double quotes, exactly as
// stored. A longer one fits the scanner's limit only as a bare word; only such a one is
// storable, so the writer puts it down bare.

static bool IsBareWord(const char* s, size_t n) {
    bool digitsOnly = true;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool digit = c >= '0' && c <= '9';
        if (!digit && !(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z') && c != '_' && c != '.' && c != '/')
            return false;
        digitsOnly = digitsOnly && digit;
    }
    return n > 0 && !digitsOnly && !(n == 3 && memcmp(s, "KEY", 3) == 0);
}

// The registry file carries every text between double quotes with no escapes, and a
// text-mode file on Windows ends at byte 26; a text holding these, or longer than the
// scanner reads back, could never load again.
bool RegTextStorable(const char* s, size_t n) {
    if (n > REGFILE_TEXT_MAX) return n == REGFILE_WORD_MAX && IsBareWord(s, n);
    for (size_t i = 0; i < n; ++i)
        if (s[i] == '"' || s[i] == '\n' || s[i] == 26) return false;
    return true;
}

namespace {
// The writer's output: formatted by hand into a large buffer and handed to the stream a
// buffer at a time, which costs a small part of what formatting each line through stdio
// would. Every write is checked, and zrWriteFaulted lets tests fail one.
class Out {
public:
    explicit Out(FILE* fp) : m_fp(fp) {}
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    void Put(const char* s, size_t n) {
        if (n > sizeof m_buf - m_len) {
            Flush();
            if (n > sizeof m_buf) {
                Write(s, n);
                return;
            }
        }
        memcpy(m_buf + m_len, s, n);
        m_len += n;
    }
    // A text as the scanner reads it back: between double quotes, unless it is too long
    // to fit the scanner's limit that way.
    void PutText(const char* s) {
        size_t n = strlen(s);
        bool quote = n <= REGFILE_TEXT_MAX;
        if (quote) Put("\"", 1);
        Put(s, n);
        if (quote) Put("\"", 1);
    }
    void PutInt(int v) {
        char digits[12];
        char* p = digits + sizeof digits;
        unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
        do *--p = static_cast<char>('0' + u % 10);
        while ((u /= 10) != 0);
        if (v < 0) *--p = '-';
        Put(p, static_cast<size_t>(digits + sizeof digits - p));
    }
    bool Flush() {
        if (m_len) Write(m_buf, m_len);
        m_len = 0;
        return m_ok;
    }

private:
    void Write(const char* s, size_t n) { m_ok = m_ok && fwrite(s, 1, n, m_fp) == n && !zrWriteFaulted(); }
    FILE* m_fp;
    bool m_ok = true;
    size_t m_len = 0;
    char m_buf[1 << 16];
};

// One value line: the key's indent, four more spaces, the type word, name and data. An
// extended value's word and data are its type's (regtypes.h).
void PutValue(Out& out, RegKeyValue* v, const char* indent, size_t indentLen) {
    out.Put(indent, indentLen);
    out.Put("    [", 5);
    RegType kind = v->GetType();
    if (kind == REG_BYTES) {
        char buf[32];
        out.Put(RegTypeWord(v->WinType(), buf), strlen(RegTypeWord(v->WinType(), buf)));
    } else {
        const RegTypeInfo& type = RegTypeOf(kind);
        out.Put(type.word, type.wordLen);
    }
    out.Put("] ", 2);
    out.PutText(v->GetKey());
    out.Put(" = ", 3);
    if (kind == REG_INT) {
        out.PutInt(v->GetInt());
    } else if (kind == REG_SZ) {
        out.PutText(static_cast<const char*>(v->GetValue()));
    } else {
        RegTypeWriteData(
            v->WinType(), static_cast<const unsigned char*>(v->GetValue()), static_cast<size_t>(v->GetSize()),
            indent, indentLen, [](void* to, const char* s, size_t n) { static_cast<Out*>(to)->Put(s, n); },
            &out);
    }
    out.Put(";\n", 2);
}
}  // namespace

bool RegKeyValue::Save(FILE* fp, const char* indent) {
    Out out(fp);
    PutValue(out, this, indent, strlen(indent));
    return out.Flush();
}

namespace {
// Indents of any depth as suffixes of one buffer of spaces.
class Indent {
public:
    ~Indent() { zrFree(m_buf); }
    const char* Get(int depth) {
        if (depth > INT_MAX / 8) return nullptr;
        int want = 4 * depth;
        if (want > m_len || !m_buf) {
            int n = want < 64 ? 64 : want * 2;
            char* b = static_cast<char*>(zrRealloc(m_buf, static_cast<size_t>(n) + 1));
            if (!b) return nullptr;
            memset(b, ' ', static_cast<size_t>(n));
            b[n] = 0;
            m_buf = b;
            m_len = n;
        }
        return m_buf + (m_len - want);
    }

private:
    char* m_buf = nullptr;
    int m_len = 0;
};
}  // namespace

// Keys are written with an explicit stack of open keys, so that the depth of the tree is
// limited by memory alone: each key's values first, then its subkeys, then its ")".
bool RegNode::Save(FILE* fp, int tab) {
    struct Frame {
        RegNode* node;
        int next;  // the slot of the next subkey to write (holes hold null)
    };
    Indent indent;
    Out out(fp);
    Frame* frames = nullptr;
    int cap = 0, depth = 0;

    auto open = [&](RegNode* n, int level) -> bool {
        const char* ind = indent.Get(level);
        if (!ind) return false;
        size_t indLen = 4 * static_cast<size_t>(level);
        out.Put(ind, indLen);
        out.Put("KEY ", 4);
        out.PutText(n->GetName());
        out.Put("\n", 1);
        out.Put(ind, indLen);
        out.Put("(\n", 2);
        // Slot by slot: the lists' holes are skipped without a lookup per entry.
        for (int s = n->values.FirstSlot(); s < n->values.EndSlot(); ++s)
            if (RegKeyValue* v = n->values.AtSlot(s)) PutValue(out, v, ind, indLen);
        if (depth == cap) {
            int c = cap ? cap * 2 : 16;
            Frame* f = static_cast<Frame*>(zrRealloc(frames, sizeof(Frame) * static_cast<size_t>(c)));
            if (!f) return false;
            frames = f;
            cap = c;
        }
        frames[depth++] = Frame{n, n->GetRegNodeList()->FirstSlot()};
        return true;
    };

    bool ok = open(this, tab);
    while (ok && depth > 0) {
        int level = tab + depth - 1;
        RegNode* n = frames[depth - 1].node;
        RegNodeList* keys = n->GetRegNodeList();
        int next = frames[depth - 1].next;
        while (next < keys->EndSlot() && !keys->AtSlot(next)) ++next;
        if (next < keys->EndSlot()) {
            frames[depth - 1].next = next + 1;
            ok = open(keys->AtSlot(next), level + 1);
        } else {
            const char* ind = indent.Get(level);
            ok = ind != nullptr;
            if (ok) {
                out.Put(ind, 4 * static_cast<size_t>(level));
                out.Put(")\n", 2);
            }
            --depth;
        }
    }
    ok = out.Flush() && ok;
    zrFree(frames);
    return ok;
}

static bool WriteTree(FILE* fp, void*) { return RegTreeNow->root->Save(fp, 0); }

bool cfRegSaveRegTo(const char* path, int* err) {
    *err = 0;
    return RegTreeNow->root &&
           zrWriteWhole(path, RegFile().target, true, false, WriteTree, nullptr, err) == ZR_WRITTEN;
}

// Writes a changed tree to the temporary file beside the file that the registry path
// names (links resolved). 1 when the file is complete and on disk; a temporary file that
// could not be written whole is removed.
int cfRegSaveRegToTemp(char* tmpFile, char* target) {
    if (!RegIsChanged()) return 0;
    RegSetChanged(false);
    const RegFileNames& names = RegFile();
    if (!RegTreeNow->root || !names.saveable) {
        RegNoteSave(REGVIEW_SAVE_FAILED, nullptr, "has no temporary file name (its path is too long)");
        return 0;
    }
    strcpy(tmpFile, names.temp);
    strcpy(target, names.target);
    // Another user's file that this process may write would become this user's by the
    // rename: it stays as it is, and so does its owner's access.
    if (!zrCanKeepOwner(target)) {
        RegNoteSave(
            REGVIEW_SAVE_FAILED, nullptr,
            "could not be saved: it cannot be replaced by this user without changing its owner or mode");
        return 0;
    }
    int err = 0;
    ZrWriteResult r = zrWriteWhole(tmpFile, target, true, false, WriteTree, nullptr, &err);
    if (r == ZR_WRITTEN) return 1;
    char why[REGFILE_TEMP_MAX + 128];
    snprintf(why, sizeof why, "could not be saved: its temporary file %s cannot be %s (%s)", tmpFile,
             r == ZR_WRITE_NOT_MADE ? "made" : "written", err ? strerror(err) : "no memory");
    RegNoteSave(REGVIEW_SAVE_FAILED, nullptr, why);
    return 0;
}

// The temporary file takes the registry file's place in one atomic step, so that there
// is never a moment without a registry file. When it cannot, the old file stays as it was
// and so does the temporary file: it holds the only copy of the changes. (The loader
// closed the registry file once it was read, so that nothing holds it open here.)
bool cfRegSwapRegFile(const char* tmpFile, const char* target) {
    if (zrReplaceFile(tmpFile, target)) {
        RegNoteSave(REGVIEW_SAVE_WRITTEN, nullptr, nullptr);
        return true;
    } else {
        char why[REGFILE_TEMP_MAX + 64];
        snprintf(why, sizeof why, "could not be replaced (%s)", strerror(errno));
        RegNoteSave(REGVIEW_SAVE_FAILED, tmpFile, why);
        return false;
    }
}
