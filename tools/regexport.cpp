// Windows registry export files: the writer (the reader is regimport.cpp).
#include "regexport.h"

#include <stdio.h>

#include "regtext.h"

static void AppendQuoted(std::string* out, const std::string& bytes) {
    out->push_back('"');
    for (char c : bytes) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// UTF-8 text in the file's form.
static std::string FormText(const std::string& utf8, ExportForm form) {
    if (form == ExportForm::kUtf8) return utf8;
    std::string lines;
    for (char c : utf8) {
        if (c == '\n') lines.push_back('\r');
        lines.push_back(c);
    }
    return Utf16Bytes(lines);
}

std::string ExportText(const std::string& bytes, ExportForm form) {
    if (form == ExportForm::kUtf8) return Latin1ToUtf8(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        if (c == '\n') out.append("\r\0", 2);
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::string ExportHead(ExportForm form) {
    return (form == ExportForm::kUtf16 ? "\xFF\xFE" : "") +
           ExportText(std::string(kExportHeader) + "\n\n", form);
}

std::string ExportSectionEnd(const std::vector<ExportValue>& values, ExportForm form) {
    std::string text = "]\n";
    for (const ExportValue& v : values) {
        std::string name = "@";
        if (!v.name.empty()) {
            name.clear();
            AppendQuoted(&name, Latin1ToUtf8(v.name));
        }
        size_t column = 1;  // the "="
        for (char c : name) column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        text += name + "=" + RegData(v.data, column) + "\n";
    }
    return FormText(text + "\n", form);
}

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form) {
    std::string out = ExportHead(form);
    for (const ExportKey& key : keys)
        out += ExportText("[" + key.path, form) + ExportSectionEnd(key.values, form);
    return out;
}
