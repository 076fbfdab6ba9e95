// Fuzz target: arbitrary bytes as an export file for zrreg import; what the reader hands on,
// every value type's bytes, must come back the same when written out in either form and
// read again.
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzzutil.h"
#include "regexport.h"

namespace {

// Records what the reader hands on; it goes on past invalid lines, as zrreg import does.
class Collect : public ExportHandler {
public:
    std::vector<ExportKey> keys;
    bool KnownRoot(const std::string& name) override { return !name.empty() && (name[0] & 1); }
    void OnKey(const ExportKey& key) override { keys.push_back(key); }
    void OnValue(const ExportValue& value) override {
        FUZZ_CHECK(!keys.empty());
        FUZZ_CHECK(!keys.back().isDelete);
        keys.back().values.push_back(value);
    }
    void OnSkipped(int, const std::string&) override {}
    bool OnInvalid(int line, const std::string&, bool) override {
        FUZZ_CHECK(line > 0);
        return true;
    }
};

bool SameValues(const std::vector<ExportValue>& a, const std::vector<ExportValue>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const ExportValue &x = a[i], &y = b[i];
        if (x.name != y.name || x.isDelete != y.isDelete) return false;
        if (x.isDelete) continue;
        if (x.data != y.data) return false;
    }
    return true;
}

bool Same(const std::vector<ExportKey>& a, const std::vector<ExportKey>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].path != b[i].path || a[i].isDelete != b[i].isDelete || !SameValues(a[i].values, b[i].values))
            return false;
    return true;
}

bool Storable(const std::string& s) { return RegViewStorable(s.data(), s.size()); }

// What must come back: what zrreg import would store (it skips the names the library
// refuses; data of every type is stored as its bytes) and the writer writes (no deletions).
std::vector<ExportKey> Writable(const std::vector<ExportKey>& keys) {
    std::vector<ExportKey> out;
    for (const ExportKey& k : keys) {
        if (k.isDelete) continue;
        out.push_back(k);
        out.back().values.clear();
        for (const ExportValue& v : k.values)
            if (!v.isDelete && Storable(v.name)) out.back().values.push_back(v);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Collect first;
    std::string error;
    if (!ReadExport(std::string(reinterpret_cast<const char*>(data), size), &first, &error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    std::vector<ExportKey> kept = Writable(first.keys);
    for (ExportForm form : {ExportForm::kUtf8, ExportForm::kUtf16}) {
        Collect again;
        FUZZ_CHECK(ReadExport(WriteExport(kept, form), &again, &error));
        FUZZ_CHECK(Same(kept, again.keys));
    }
    return 0;
}
