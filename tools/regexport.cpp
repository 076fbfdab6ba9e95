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

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form) {
    std::string text = std::string(kExportHeader) + "\n\n";
    for (const ExportKey& key : keys) {
        text += "[" + key.path + "]\n";
        for (const ExportValue& v : key.values) {
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
        text += "\n";
    }
    if (form == ExportForm::kUtf8) return Latin1ToUtf8(text);
    std::string out = "\xFF\xFE";
    for (char c : text) {
        if (c == '\n') out.append("\r\0", 2);
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}
