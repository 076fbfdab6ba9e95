// The registry file writer: the tree in the file's own syntax, via a temporary file.
#include <limits.h>
#include <string.h>

#include "regp.h"
#include "zrplat.h"

char bpRegFile[REGFILE_PATH_MAX];

// Every write is checked; zrWriteFaulted lets tests fail one.
static bool Wrote(int rc) { return rc >= 0 && !zrWriteFaulted(); }

bool RegKeyValue::Save(FILE* fp, const char* indent) {
    if (type == REG_INT)
        return Wrote(fprintf(fp, "%s%*s[%s] \"%s\" = %d;\n", indent, 4, " ", "REG_INT", key, ivalue));
    return Wrote(fprintf(fp, "%s%*s[%s] \"%s\" = \"%s\";\n", indent, 4, " ", "REG_SZ", key, string));
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
        int next;  // the next subkey to write
    };
    Indent indent;
    Frame* frames = nullptr;
    int cap = 0, depth = 0;

    auto open = [&](RegNode* n, int level) -> bool {
        const char* ind = indent.Get(level);
        if (!ind) return false;
        if (!Wrote(fprintf(fp, "%sKEY \"%s\"\n", ind, n->name)) || !Wrote(fprintf(fp, "%s(\n", ind)))
            return false;
        for (int i = 0; i < n->kvlist->GetSize(); ++i)
            if (!n->kvlist->GetAt(i)->Save(fp, ind)) return false;
        if (depth == cap) {
            int c = cap ? cap * 2 : 16;
            Frame* f = static_cast<Frame*>(zrRealloc(frames, sizeof(Frame) * static_cast<size_t>(c)));
            if (!f) return false;
            frames = f;
            cap = c;
        }
        frames[depth++] = Frame{n, 0};
        return true;
    };

    bool ok = open(this, tab);
    while (ok && depth > 0) {
        int level = tab + depth - 1;
        RegNode* n = frames[depth - 1].node;
        int next = frames[depth - 1].next;
        if (next < n->nodeList->GetSize()) {
            frames[depth - 1].next = next + 1;
            ok = open(n->nodeList->GetAt(next), level + 1);
        } else {
            const char* ind = indent.Get(level);
            ok = ind && Wrote(fprintf(fp, "%s)\n", ind));
            --depth;
        }
    }
    zrFree(frames);
    return ok;
}

// Writes a changed tree to the temporary file beside the registry file, whose name it
// leaves in tmpFile (REGFILE_PATH_MAX bytes); 1 when the file is complete and on disk.
int cfRegSaveRegToTemp(char* tmpFile) {
    if (bRegChanged != 1) return 0;
    bRegChanged = 0;
    if (!RootNode || !zrTempNameFor(bpRegFile, tmpFile, REGFILE_PATH_MAX)) return 0;
    FILE* fp = zrOpenTempForWrite(tmpFile);
    if (!fp) return 0;
    bool ok = RootNode->Save(fp, 0);
    ok = zrCommitFile(fp) && ok;
    if (!ok) {
        _unlink(tmpFile);
        return 0;
    }
    return 1;
}

// The temporary file takes the registry file's place in one atomic step, so that there
// is never a moment without a registry file; on failure the old file stays as it was.
void cfRegSwapRegFile(char* tmpFile) {
    bool wasOpen = yyin && yyin != stdin;
    if (wasOpen) {
        fclose(yyin);  // Windows cannot replace an open file
        yyin = nullptr;
    }
    if (!zrReplaceFile(tmpFile, bpRegFile)) _unlink(tmpFile);
    if (wasOpen) yyin = fopen(bpRegFile, "r");
}
