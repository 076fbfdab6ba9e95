// zrreg serve's JSON interface over the verbs' own functions, and the answers every route
// gives in JSON.
#ifndef ZRSERVEAPI_H
#define ZRSERVEAPI_H

#include <mutex>
#include <string>

#include <httplib.h>

#include "zrreg.h"

namespace zrreg {

const size_t kMaxBody = 16 * 1024 * 1024;  // an import's .reg file, at most

// A UTF-8 text (a message) as a JSON string; a byte that is not UTF-8 becomes U+FFFD.
std::string JsonText(const std::string& text);
void Answer(httplib::Response& res, int status, const std::string& json);
void Fail(httplib::Response& res, int status, const std::string& what);

// Answers /api/info, /api/key, /api/find, /api/export and the changes' POSTs on `http`, each
// under `lock`, the registry's; a change is refused when `readOnly`.
void RouteApi(httplib::Server& http, Registry& reg, bool readOnly, std::mutex& lock);

}  // namespace zrreg

#endif
