// Windows registry export files ("Windows Registry Editor Version 5.00"): writer and reader.
#ifndef REGEXPORT_H
#define REGEXPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "regtypes.h"

// The first line of the files this version writes (the reader takes REGEDIT4 too).
inline constexpr char kExportHeader[] = "Windows Registry Editor Version 5.00";

// Names and paths are registry bytes, one character each (see regtext.h).
struct ExportValue {
    std::string name;  // empty: the key's default value, written @
    TypedData data;
    int line;               // where the reader found it; 0 for values from the tree
    bool isDelete = false;  // "name"=-: the value is to be deleted
};

struct ExportKey {
    std::string path;  // as it stands between the brackets, "\" between components
    std::vector<ExportValue> values;
    int line;
    bool isDelete = false;  // [-path]: the key is to be deleted with its subtree
};

// UTF-8 with LF line ends, or what Windows' own editor writes: UTF-16LE with a byte
// order mark and CRLF line ends.
enum class ExportForm { kUtf8, kUtf16 };

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form);

// The same file piece by piece, for a writer that walks a tree too deep or too large to
// list first: ExportHead, then for each key ExportText("[") and its path as ExportText
// (made once per level and kept), then ExportSectionEnd.
std::string ExportHead(ExportForm form);
// Registry text in the file's form; pieces made apart join into the bytes of the whole.
std::string ExportText(const std::string& bytes, ExportForm form);
// What follows a section's path: "]", the values and the blank line that ends it.
std::string ExportSectionEnd(const std::vector<ExportValue>& values, ExportForm form);

// What the reader hands on, in the order of the file. Messages are UTF-8 and start with
// the reason (the caller adds file and line).
class ExportHandler {
public:
    virtual ~ExportHandler() = default;
    // Whether `name` (registry bytes) is a top-level key of the registry being changed;
    // a section must start at one of those, at a Windows hive or at the root.
    virtual bool KnownRoot(const std::string& name) = 0;
    // A valid section; its values follow. `values` is empty.
    virtual void OnKey(const ExportKey& key) = 0;
    // A value of the last key, to set or delete.
    virtual void OnValue(const ExportValue& value) = 0;
    // A valid value or section the registry cannot take. An empty `what` stands for a
    // value under a section already reported: counted, not reported again.
    virtual void OnSkipped(int line, const std::string& what) = 0;
    // An invalid line, which Windows' editor skips too; `section` when it was a section
    // line, whose values are then skipped. False stops the reading: the file is refused.
    virtual bool OnInvalid(int line, const std::string& what, bool section) = 0;
};

// Reads UTF-16LE with or without a byte order mark, or UTF-8 with or without one (text
// that is not valid UTF-8 is taken byte for byte, as older editors wrote it); CRLF or LF.
// Values of every type are handed on with the deletions: "text" as REG_SZ, dword: as
// REG_DWORD, hex: as REG_BINARY and hex(N): as type N; names and paths with characters
// above U+00FF are skipped.
// False with `error` ("line N: ...") when the file is not an export file or the handler
// stopped at an invalid line.
bool ReadExport(const std::string& file, ExportHandler* handler, std::string* error);

#endif
