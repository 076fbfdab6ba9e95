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
        if (v.name.empty())
            text += "@";
        else
            AppendQuoted(&text, v.name);
        text += "=";
        if (v.isDword) {
            char buf[32];
            snprintf(buf, sizeof buf, "dword:%08lx", static_cast<unsigned long>(v.dword));
            text += buf;
        } else {
            AppendQuoted(&text, v.text);
        }
        text += "\n";
    }
    return ExportText(text + "\n", form);
}

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form) {
    std::string out = ExportHead(form);
    for (const ExportKey& key : keys)
        out += ExportText("[" + key.path, form) + ExportSectionEnd(key.values, form);
    return out;
}
