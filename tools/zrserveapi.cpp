// zrreg serve's JSON interface over the verbs' own functions: the registry's name and types,
// a key's page, search, export, and the changes (set, create, delete, rename, import).
#include "zrserveapi.h"

#include <stdlib.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "regtext.h"
#include "zrregdll.h"

namespace zrreg {

using Json = nlohmann::json;

// A UTF-8 text (a message) as a JSON string; a byte that is not UTF-8 becomes U+FFFD.
std::string JsonText(const std::string& text) {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Answer(httplib::Response& res, int status, const std::string& json) {
    res.status = status;
    res.set_content(json, "application/json; charset=utf-8");
}

void Fail(httplib::Response& res, int status, const std::string& what) {
    Answer(res, status, "{\"error\": " + JsonText(what) + "}\n");
}

namespace {

// A failure the verbs' functions reported, in their words: 404 for what does not exist.
void Refused(httplib::Response& res, const ErrorCapture& why) {
    bool missing = why.text.find("does not exist") != std::string::npos;
    Fail(res, missing ? 404 : 400, why.text.empty() ? "the request failed" : why.text);
}

const size_t kMaxFound = 1000;  // keys a search answers with
const long kMaxPage = 5000;     // subkeys a key's page lists

ExportValue ToExportValue(const RegViewValue& v) { return ExportValue{v.name, ViewData(v), 0}; }

std::string ValueJson(const ExportValue& v) { return JsonValue(v.name, v.data); }

// The import itself, on the tree (or its scratch copy), telling each value as it was.
class Live : public ImportTarget {
public:
    long OpenKey(void* parent, const std::string& name, void** out) override {
        return LibraryTarget()->OpenKey(parent, name, out);
    }
    long CreateKey(void* parent, const std::string& name, void** out) override {
        return LibraryTarget()->CreateKey(parent, name, out);
    }
    long OpenPath(void* parent, const std::vector<std::string>& names, size_t* levels, void** out) override {
        return LibraryTarget()->OpenPath(parent, names, levels, out);
    }
    void CloseKey(void* key) override { LibraryTarget()->CloseKey(key); }
    long DeleteKey(void* parent, const std::string& name) override {
        return LibraryTarget()->DeleteKey(parent, name);
    }
    long DeleteValue(void* key, const std::string& name) override {
        return LibraryTarget()->DeleteValue(key, name);
    }
    long SetValue(void* key, const ExportValue& v) override { return LibraryTarget()->SetValue(key, v); }
    bool ValueBefore(void* key, const std::string& name, ExportValue* out) override {
        const RegViewKey* node = RegViewKeyOf(key);
        RegViewValue v;
        if (!node || !FindValue(node, ValueName(name), &v)) return false;
        *out = ToExportValue(v);
        return true;
    }
};

// The import's answer: its changes, each with the value before and after, and its messages.
class Collect : public ImportReport {
public:
    void Changed(const ImportChange& c) override {
        static const char* const kOps[] = {"create key", "delete key", "set", "delete value"};
        bool value = c.kind == ImportChange::kSetValue || c.kind == ImportChange::kDeleteValue;
        changes += changes.empty() ? "\n  " : ",\n  ";
        changes += "{\"op\": \"" + std::string(kOps[c.kind]) + "\", \"path\": " + JsonString(c.path);
        if (value) {
            changes += ", \"name\": " + JsonString(c.name);
            changes += ", \"before\": " + (c.hadBefore ? ValueJson(c.before) : "null");
            changes += ", \"after\": " + (c.kind == ImportChange::kSetValue ? ValueJson(c.after) : "null");
        }
        changes += ", \"text\": " + JsonText(ImportChangeText(c)) + "}";
    }
    void Skipped(const std::string& in, const std::string& what) override {
        skipped += (skipped.empty() ? "" : ", ") + JsonText(in + ": " + what);
    }
    std::string changes, skipped;
};

// The handlers, each under the registry's lock (`lock`, the server's).
struct Api {
    Api(Registry& reg, bool readOnly, std::mutex& lock) : reg_(reg), readOnly_(readOnly), lock_(lock) {}

    // Makes an exported call, so that other processes' changes are in the tree.
    static void Sync() { ZrRegCountSubKeys(HkeyRegRoot()); }
    // Durable when it returns: the change log synced to disk.
    static void Flush() { ZrRegFlushKey(HkeyRegRoot()); }

    bool PathParam(const std::string& path, std::vector<std::string>* parts, httplib::Response& res) {
        ErrorCapture why;
        if (KeyParts(path, parts)) return true;
        Refused(res, why);
        return false;
    }
    // The JSON body of a change as an object, or false (answered).
    bool Body(const httplib::Request& req, httplib::Response& res, Json* body) {
        if (readOnly_) {
            Fail(res, 409, reg_.file() + ": served read-only (--read-only); nothing changed");
            return false;
        }
        *body = Json::parse(req.body, nullptr, false);
        if (body->is_discarded() || !body->is_object()) {
            Fail(res, 400, "the body is not a JSON object");
            return false;
        }
        return true;
    }
    // A string member of the body; false (answered) when it is there but no string, or
    // missing and `needed`.
    static bool Member(const Json& body, const char* name, bool needed, std::string* out, bool* given,
                       httplib::Response& res) {
        auto it = body.find(name);
        *given = it != body.end();
        if (!*given && !needed) return true;
        if (!*given || !it->is_string()) {
            Fail(res, 400, std::string("\"") + name + "\" must be a string");
            return false;
        }
        *out = it->get<std::string>();
        return true;
    }

    void GetKey(const httplib::Request& req, httplib::Response& res) {
        long from = req.has_param("from") ? atol(req.get_param_value("from").c_str()) : 0;
        long count = req.has_param("count") ? atol(req.get_param_value("count").c_str()) : 500;
        if (from < 0) from = 0;
        if (count < 0 || count > kMaxPage) count = kMaxPage;
        std::vector<std::string> parts;
        if (!PathParam(req.get_param_value("path"), &parts, res)) return;
        WithKey(parts, res, [&](Key& key, const ErrorCapture& why) {
            if (!req.has_param("child")) return Answer(res, 200, KeyPageJson(key, from, count));
            // Where a subkey stands among its siblings, for a page that goes to it.
            std::string child;
            if (!ToRegistryText(req.get_param_value("child"), "the subkey", &child)) return Refused(res, why);
            child = UnshowKeyName(child);
            int index = -1;
            for (int i = 0; index < 0 && i < RegViewSubkeyCount(key.node); ++i)
                if (RegViewCompareNames(RegViewName(RegViewSubkey(key.node, i)), child.c_str()) == 0)
                    index = i;
            Answer(res, 200,
                   "{\"index\": " + std::to_string(index) + ", " + KeyPageJson(key, from, count).substr(1));
        });
    }

    // Runs f on the key at `parts` under the registry's lock, after the other processes'
    // changes, with the capture of zrreg's error words; a key that cannot be opened is
    // refused in those words.
    template <class F>
    void WithKey(const std::vector<std::string>& parts, httplib::Response& res, F f) {
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        ErrorCapture why;
        Key key;
        if (!OpenKey(reg_, parts, false, &key)) return Refused(res, why);
        f(key, why);
    }

    void GetFind(const httplib::Request& req, httplib::Response& res) {
        auto flag = [&req](const char* n) { return req.has_param(n) && req.get_param_value(n) != "0"; };
        std::vector<std::string> parts;
        std::string pattern;
        if (!PathParam(req.get_param_value("path"), &parts, res)) return;
        {
            ErrorCapture why;
            if (!ToRegistryText(req.get_param_value("text"), "the pattern", &pattern))
                return Refused(res, why);
        }
        if (pattern.empty()) return Fail(res, 400, "the pattern is empty");
        Search s = MakeSearch(pattern, flag("k"), flag("d"), flag("e"), flag("c"));
        WithKey(parts, res, [&](Key& key, const ErrorCapture&) {
            std::string out;
            FindJson(s, key, !req.has_param("s") || flag("s"), kMaxFound, &out);
            Answer(res, 200, out);
        });
    }

    void GetExport(const httplib::Request& req, httplib::Response& res) {
        std::vector<std::string> parts;
        if (!PathParam(req.get_param_value("path"), &parts, res)) return;
        WithKey(parts, res, [&](Key& key, const ErrorCapture&) {
            std::string text;
            WriteKeyExport(key, ExportForm::kUtf8, [&text](const std::string& piece) { text += piece; });
            res.set_header("Content-Disposition", "attachment; filename=\"export.reg\"");
            res.set_content(text, "text/plain; charset=utf-8");
        });
    }

    void PostSet(const httplib::Request& req, httplib::Response& res) {
        Json body;
        if (!Body(req, res, &body)) return;
        std::string path, nameArg, typeName = "REG_SZ", name, why;
        bool given;
        if (!Member(body, "path", true, &path, &given, res) ||
            !Member(body, "name", true, &nameArg, &given, res) ||
            !Member(body, "type", false, &typeName, &given, res))
            return;
        uint32_t type;
        if (!TypeFromName(typeName, &type)) return Fail(res, 400, "\"" + typeName + "\" is no value type");
        TypedData data;
        auto found = body.find("data");
        if (found == body.end()) return Fail(res, 400, "\"data\" is missing");
        const Json& d = *found;
        if (d.is_array() && type == ZRREG_TYPE_MULTI_SZ) {
            std::vector<std::string> list;
            for (const Json& one : d) {
                if (!one.is_string())
                    return Fail(res, 400, "REG_MULTI_SZ's \"data\" must be a list of strings");
                list.push_back(one.get<std::string>());
            }
            data = MultiData(list);
        } else if (!d.is_string() &&
                   !(d.is_number_integer() && std::string(EditForm(type)).rfind("int", 0) == 0)) {
            return Fail(res, 400,
                        "\"data\" must be a string, a number for the integer types, or a list of strings for "
                        "REG_MULTI_SZ");
        } else if (!ParseData(type, d.is_string() ? d.get<std::string>() : d.dump(), "\n", &data, &why)) {
            return Fail(res, 400, why);
        }
        std::vector<std::string> parts;
        if (!PathParam(path, &parts, res)) return;
        ErrorCapture refused;
        if (!ToRegistryText(nameArg, "the value name", &name)) return Refused(res, refused);
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        Key key;
        if (!OpenKey(reg_, parts, false, &key) || !SetKeyValue(reg_, key, name, data))
            return Refused(res, refused);
        Flush();
        Answer(res, 200, "{\"path\": " + JsonString(key.shown) + "}\n");
    }

    void PostCreate(const httplib::Request& req, httplib::Response& res) {
        Json body;
        std::string path;
        bool given;
        if (!Body(req, res, &body) || !Member(body, "path", true, &path, &given, res)) return;
        std::vector<std::string> parts;
        if (!PathParam(path, &parts, res)) return;
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        ErrorCapture why;
        Key key;
        if (parts.empty()) return Fail(res, 400, reg_.file() + ": the root key exists always");
        if (!MayCreateRoot(reg_, parts[0], false, "add") || !OpenKey(reg_, parts, true, &key))
            return Refused(res, why);
        Flush();
        Answer(res, 200, "{\"path\": " + JsonString(key.shown) + "}\n");
    }

    void PostDelete(const httplib::Request& req, httplib::Response& res) {
        Json body;
        std::string path, nameArg, name;
        bool hasName;
        if (!Body(req, res, &body) || !Member(body, "path", true, &path, &hasName, res) ||
            !Member(body, "name", false, &nameArg, &hasName, res))
            return;
        std::vector<std::string> parts;
        if (!PathParam(path, &parts, res)) return;
        ErrorCapture why;
        if (hasName && !ToRegistryText(nameArg, "the value name", &name)) return Refused(res, why);
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        if (!DeleteAt(reg_, parts, hasName ? &name : nullptr, false, false)) return Refused(res, why);
        Flush();
        Answer(res, 200, "{\"done\": true}\n");
    }

    // A key ({"path", "newName"}) or one value of it ({"path", "name", "newName"}) renamed in
    // its place; a name that is taken answers 409, as a conflict with what is there.
    void PostRename(const httplib::Request& req, httplib::Response& res) {
        Json body;
        std::string path, nameArg, name, newArg, newName;
        bool hasName, given;
        if (!Body(req, res, &body) || !Member(body, "path", true, &path, &given, res) ||
            !Member(body, "name", false, &nameArg, &hasName, res) ||
            !Member(body, "newName", true, &newArg, &given, res))
            return;
        std::vector<std::string> parts;
        if (!PathParam(path, &parts, res)) return;
        ErrorCapture why;
        if (hasName && !ToRegistryText(nameArg, "the value name", &name)) return Refused(res, why);
        if (!ToRegistryText(newArg, "the new name", &newName)) return Refused(res, why);
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        long rc = ZRREG_SUCCESS;
        if (!RenameAt(reg_, parts, hasName ? &name : nullptr, newName, false, &rc)) {
            if (rc == ZRREG_ALREADY_EXISTS) return Fail(res, 409, why.text);
            return Refused(res, why);
        }
        Flush();
        Answer(res, 200, "{\"done\": true}\n");
    }

    void PostImport(const httplib::Request& req, httplib::Response& res) {
        auto flag = [&req](const char* n) { return req.has_param(n) && req.get_param_value(n) != "0"; };
        ImportOptions opt = {!req.has_param("dry_run") || flag("dry_run"), flag("no_delete"), flag("strict")};
        if (!opt.dryRun && readOnly_)
            return Fail(res, 409, reg_.file() + ": served read-only (--read-only); nothing changed");
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
        ErrorCapture why;
        Collect report;
        ImportCounts counts;
        Live live;
        const std::string in = "import";
        // The preview is the import itself, on a scratch copy of the tree that goes after it.
        if (opt.dryRun && !RegViewScratchBegin())
            return Fail(res, 503,
                        reg_.file() + ": no memory for a copy of the tree to preview the import on");
        // Through the change log an import is one group of records: all or nothing, seen by
        // the other processes at once.
        bool grouped = !opt.dryRun && RegViewGroupBegin();
        bool ok = ImportText(reg_, in, req.body, opt, &live, &report, &counts);
        if (opt.dryRun) {
            RegViewScratchEnd();
        } else if (grouped) {
            if (!RegViewGroupEnd(ok) && ok)
                return Fail(
                    res, 500,
                    reg_.file() + ": the import could not be written to the change log; nothing imported");
        } else {
            Flush();
        }
        if (!ok) return Refused(res, why);
        Answer(res, 200,
               "{\"dryRun\": " + std::string(opt.dryRun ? "true" : "false") + ", \"changes\": [" +
                   report.changes + (report.changes.empty() ? "" : "\n") + "], \"skipped\": [" +
                   report.skipped + "], \"summary\": " + JsonText(ImportSummary(in, opt.dryRun, counts)) +
                   "}\n");
    }

    Registry& reg_;
    bool readOnly_;
    std::mutex& lock_;
};

}  // namespace

void RouteApi(httplib::Server& http, Registry& reg, bool readOnly, std::mutex& lock) {
    auto api = std::make_shared<Api>(reg, readOnly, lock);
    http.Get("/api/info", [api](const httplib::Request&, httplib::Response& res) {
        std::string types;
        for (const char* name : TypeNames()) {
            uint32_t type = 0;
            TypeFromName(name, &type);
            types += std::string(types.empty() ? "" : ", ") + "{\"name\": \"" + name + "\", \"form\": \"" +
                     EditForm(type) + "\"}";
        }
        Answer(res, 200,
               "{\"file\": " + JsonText(api->reg_.file()) + ", \"readOnly\": " +
                   (api->readOnly_ ? "true" : "false") + ", \"types\": [" + types + "]}\n");
    });
    http.Get("/api/key", [api](const httplib::Request& q, httplib::Response& r) { api->GetKey(q, r); });
    http.Get("/api/find", [api](const httplib::Request& q, httplib::Response& r) { api->GetFind(q, r); });
    http.Get("/api/export", [api](const httplib::Request& q, httplib::Response& r) { api->GetExport(q, r); });
    http.Post("/api/set", [api](const httplib::Request& q, httplib::Response& r) { api->PostSet(q, r); });
    http.Post("/api/create",
              [api](const httplib::Request& q, httplib::Response& r) { api->PostCreate(q, r); });
    http.Post("/api/delete",
              [api](const httplib::Request& q, httplib::Response& r) { api->PostDelete(q, r); });
    http.Post("/api/import",
              [api](const httplib::Request& q, httplib::Response& r) { api->PostImport(q, r); });
    http.Post("/api/rename",
              [api](const httplib::Request& q, httplib::Response& r) { api->PostRename(q, r); });
    for (const char* change : {"/api/set", "/api/create", "/api/delete", "/api/import", "/api/rename"})
        http.Get(change, [](const httplib::Request&, httplib::Response& res) {
            Fail(res, 405, "a change is a POST with a JSON body");
        });
}

}  // namespace zrreg
