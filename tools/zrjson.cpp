// zrreg's JSON output: registry texts as JSON strings and values as JSON objects, for
// `query --json` and `compare --json` (the README describes the schema).
#include "regtext.h"
#include "zrreg.h"

namespace zrreg {

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) AppendJsonChar(&out, c);  // registry bytes are ISO-8859-1 characters
    return out + "\"";
}

std::string JsonValue(const std::string& name, const TypedData& d) {
    return "{\"name\": " + JsonString(name) + ", \"type\": \"" + TypeName(d.type) + "\", " + JsonData(d) +
           "}";
}

std::string JsonValue(const RegViewValue& v) { return JsonValue(v.name, ViewData(v)); }

}  // namespace zrreg
