// Windows registry export files ("Windows Registry Editor Version 5.00"): writer and reader.
#ifndef REGEXPORT_H
#define REGEXPORT_H

#include <stdint.h>

#include <string>
#include <vector>

// Names, paths and texts are registry bytes, one character each (see regtext.h).
struct ExportValue {
    std::string name;  // empty: the key's default value, written @
    bool isDword;
    std::string text;
    uint32_t dword;
    int line;  // where the reader found it; 0 for values from the tree
};

struct ExportKey {
    std::string path;  // as it stands between the brackets, "\" between components
    std::vector<ExportValue> values;
    int line;
};

// UTF-8 with LF line ends, or what Windows' own editor writes: UTF-16LE with a byte
// order mark and CRLF line ends.
enum class ExportForm { kUtf8, kUtf16 };

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form);

struct ImportResult {
    std::vector<ExportKey> keys;
    // Entries the reader understood and left out, each "line N: ...".
    std::vector<std::string> skipped;
    // Why the file cannot be read, "line N: ..."; empty when it was read.
    std::string error;
};

// Reads UTF-16LE with a byte order mark, or UTF-8 with or without one (text that is not
// valid UTF-8 is taken byte for byte, as older editors wrote it); CRLF or LF. String and
// dword values are kept; other value types, deletions and characters above U+00FF are
// reported in `skipped`. False, with `error` set, when the file is not such a file.
bool ReadExport(const std::string& file, ImportResult* out);

#endif
