// zrreg's JSON output: registry texts as JSON strings and values as JSON objects, for
// `query --json` and `compare --json` (the README describes the schema).
#include <stdio.h>

#include "regtext.h"
#include "zrreg.h"

namespace zrreg {

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            AppendUtf8(&out, c);  // registry bytes are ISO-8859-1 characters
        }
    }
    return out + "\"";
}

std::string JsonValue(const std::string& name, const TypedData& d) {
    return "{\"name\": " + JsonString(name) + ", \"type\": \"" + TypeName(d.type) + "\", " + JsonData(d) +
           "}";
}

std::string JsonValue(const RegViewValue& v) { return JsonValue(v.name, ViewData(v)); }

}  // namespace zrreg
