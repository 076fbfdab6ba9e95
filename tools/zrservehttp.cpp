// zrreg serve's server: its connections, the page (built into the program, zrpage.cpp), the
// JSON interface over the verbs' own functions, the rules of who gets in, and the live events.
//
// One request works on the registry at a time (`Server::lock`): the verbs read the tree
// through the internal view, which takes no lock, and every exported call may apply other
// processes' changes to the tree first. The watcher thread takes the same lock for its calls.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

// The page's files (made by cmake/zrpage.cmake from tools/serve/).
struct ZrPageFile {
    const char* name;
    const char* type;
    const unsigned char* data;
    size_t size;
};
extern const ZrPageFile kZrPageFiles[];
extern const size_t kZrPageFileCount;

namespace zrreg {
namespace {

using Json = nlohmann::json;

const size_t kMaxBody = 16 * 1024 * 1024;  // an import's .reg file, at most
const size_t kMaxFound = 1000;             // keys a search answers with
const long kMaxPage = 5000;                // subkeys a key's page lists

const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A UTF-8 text (a message) as a JSON string; a byte that is not UTF-8 becomes U+FFFD.
std::string JsonText(const std::string& text) {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool SameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char d = 0;
    for (size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
    return d == 0;
}

std::string NewToken() {
    unsigned char b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string t;
    for (unsigned char c : b) {
        t.push_back(kHex[c >> 4]);
        t.push_back(kHex[c & 15]);
    }
    return t;
}

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

// ---- connections ----
// cpp-httplib's own loop gives a connection a worker for as long as it is open and times
// each read alone, so that a client sending a byte now and then, or a few open event
// streams, held every worker. Here each connection has a thread of its own (up to a cap),
// and a request has a deadline for the whole of it. Threads rather than a loop of events
// that reads whole requests first: a handler waits for the registry's lock and an event
// stream for the next change, so that each needs a thread of its own anyway.

const int kStallSeconds = 5;         // an idle connection; a request from its first byte; one write
const size_t kMaxConnections = 128;  // served at once, a thread each
const size_t kMaxWaiting = 128;      // more wait for a thread; beyond, 503 and closed
const int kMaxEventStreams = 32;     // /api/events streams open at once; beyond, 503

using Clock = std::chrono::steady_clock;

// Set on the accepting thread while it refuses a connection that found no room.
thread_local bool tRefuse = false;

// The task queue: a thread per connection, kept for later connections once it ends.
class ConnectionThreads : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (jobs_.size() < kMaxWaiting) {
                jobs_.push_back(std::move(fn));
                if (jobs_.size() > idle_ && threads_.size() < kMaxConnections) {
                    try {
                        threads_.emplace_back([this] { Work(); });
                    } catch (const std::system_error&) {
                        // No thread now: the connection waits for one that ends.
                    }
                }
                ready_.notify_one();
                return;
            }
        }
        tRefuse = true;
        fn();
        tRefuse = false;
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

private:
    void Work() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            ++idle_;
            ready_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;
            std::function<void()> fn = std::move(jobs_.front());
            jobs_.pop_front();
            hold.unlock();
            fn();
            hold.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

// One connection as the server's stream: reads buffered and bounded by the request's
// deadline, each write by kStallSeconds, and no wait past the server's end (`wake`).
class Connection : public httplib::Stream {
public:
    Connection(int sock, int wake) : sock_(sock), wake_(wake) {}

    // Waits, at most kStallSeconds, for the next request's first byte, and starts its deadline.
    bool NextRequest() {
        if (at_ == end_ && !Ready(POLLIN, Clock::now() + std::chrono::seconds(kStallSeconds))) return false;
        deadline_ = Clock::now() + std::chrono::seconds(kStallSeconds);
        return true;
    }
    bool TimedOut() const { return timedOut_; }

    bool is_readable() const override { return at_ < end_ || Ready(POLLIN, deadline_); }
    bool is_writable() const override {
        if (!Ready(POLLOUT, Clock::now() + std::chrono::seconds(kStallSeconds))) return false;
        // A client that has closed its end: an event stream ends at once.
        char c;
        return recv(sock_, &c, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
    }
    ssize_t read(char* p, size_t n) override {
        if (at_ == end_) {
            bool direct = n >= sizeof buf_;  // a body's large reads skip the buffer
            ssize_t got;
            while ((got = recv(sock_, direct ? p : buf_, direct ? n : sizeof buf_, MSG_DONTWAIT)) < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
                if (!Ready(POLLIN, deadline_)) {
                    timedOut_ = true;
                    return -1;
                }
            }
            if (direct || got == 0) return got;
            at_ = 0;
            end_ = static_cast<size_t>(got);
        }
        size_t k = std::min(n, end_ - at_);
        memcpy(p, buf_ + at_, k);
        at_ += k;
        return static_cast<ssize_t>(k);
    }
    ssize_t write(const char* p, size_t n) override {
        ssize_t put;
        while ((put = send(sock_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (!Ready(POLLOUT, Clock::now() + std::chrono::seconds(kStallSeconds))) return -1;
        }
        return put;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
    int socket() const override { return sock_; }

private:
    // Whether the socket is ready for `events` before `until`; false at the server's end.
    bool Ready(short events, Clock::time_point until) const {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            struct pollfd p[2] = {{sock_, events, 0}, {wake_, POLLIN, 0}};
            int n = poll(p, 2, static_cast<int>(left));
            if (n < 0 && errno != EINTR) return false;
            if (n > 0) return p[1].revents == 0;
        }
    }
    void Address(bool peer, std::string& ip, int& port) const {
        struct sockaddr_in a = {};
        socklen_t len = sizeof a;
        char text[INET_ADDRSTRLEN] = "";
        int rc = peer ? getpeername(sock_, reinterpret_cast<sockaddr*>(&a), &len)
                      : getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
        if (rc == 0 && a.sin_family == AF_INET) inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        ip = text;
        port = rc == 0 ? ntohs(a.sin_port) : 0;
    }

    int sock_, wake_;
    char buf_[4096];
    size_t at_ = 0, end_ = 0;
    Clock::time_point deadline_;
    bool timedOut_ = false;
};

// cpp-httplib's server with the connection loop above.
class Http : public httplib::Server {
public:
    Http() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Http() override {
        if (wake_ >= 0) close(wake_);
    }
    // A backlog for a burst of connections (cpp-httplib listens with 5: the next ones'
    // connects were retried a second later).
    void Backlog() { ::listen(svr_sock_, static_cast<int>(kMaxConnections)); }
    // Ends the server: no connection waits any longer.
    void Stop() {
        uint64_t one = 1;
        if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
            // Full: readable already.
        }
        stop();
    }

private:
    bool process_and_close_socket(int sock) override {
        bool ok = true;
        if (tRefuse) {
            const std::string body = "{\"error\": \"too many connections are open\"}\n";
            const std::string full =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Connection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            ok = ::send(sock, full.data(), full.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
        } else {
            Connection c(sock, wake_);
            for (size_t left = keep_alive_max_count_; ok && left > 0 && c.NextRequest(); --left) {
                bool closed = false;
                ok = process_request(c, left == 1, closed, nullptr);
                if (closed || c.TimedOut()) break;
            }
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    int wake_;
};

class Server {
public:
    Server(Registry& reg, bool readOnly, int* watch) : reg_(reg), readOnly_(readOnly), watch_(watch) {}

    int Run(int port);

private:
    // ---- answers ----
    static void Headers(httplib::Response& res) {
        res.set_header("Content-Security-Policy", kPolicy);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Cache-Control", "no-store");
    }
    static void Answer(httplib::Response& res, int status, const std::string& json) {
        res.status = status;
        res.set_content(json, "application/json; charset=utf-8");
    }
    static void Fail(httplib::Response& res, int status, const std::string& what) {
        Answer(res, status, "{\"error\": " + JsonText(what) + "}\n");
    }
    // A failure the verbs' functions reported, in their words: 404 for what does not exist.
    static void Refused(httplib::Response& res, const ErrorCapture& why) {
        bool missing = why.text.find("does not exist") != std::string::npos;
        Fail(res, missing ? 404 : 400, why.text.empty() ? "the request failed" : why.text);
    }

    // ---- who gets in ----
    // The token comes only in the Authorization header, which the page sets from its own
    // storage: a cookie would go to every port of 127.0.0.1, and so to any server there.
    // The scheme's name is case-insensitive; blanks may follow it.
    bool Authorized(const httplib::Request& req) const {
        std::string auth = req.get_header_value("Authorization");
        if (auth.size() < 7 || !SameName(auth.substr(0, 6), "Bearer") || auth[6] != ' ') return false;
        size_t at = auth.find_first_not_of(' ', 6);
        return at != std::string::npos && SameToken(auth.substr(at), token_);
    }
    // The page's own files hold nothing of the registry and load without the token (the
    // browser sends no header of the page's with them); a wrong token in the address is
    // still refused, so that an old address says so at once.
    bool PageFile(const httplib::Request& req) const {
        if (req.method != "GET" || !pageRoutes_.count(req.path)) return false;
        return !req.has_param("token") || SameToken(req.get_param_value("token"), token_);
    }
    httplib::Server::HandlerResponse Gate(const httplib::Request& req, httplib::Response& res) {
        Headers(res);
        if (req.get_header_value("Host") != host_) {
            Fail(res, 403, "the Host must be " + host_);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (PageFile(req)) return httplib::Server::HandlerResponse::Unhandled;
        if (!Authorized(req)) {
            Fail(res, 401, "the token is missing or wrong: open the address zrreg serve printed");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "POST") {
            Fail(res, 405, "only GET and POST are answered");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "POST") {
            std::string origin = req.get_header_value("Origin");
            if (req.has_header("Origin") && origin != origin_) {
                Fail(res, 403, "a change must come from " + origin_ + ", not from " + origin);
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    // ---- the registry ----
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

    // A stream holds its connection's thread: there are at most kMaxEventStreams.
    void Events(const httplib::Request&, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> hold(eventLock_);
            if (streams_ >= kMaxEventStreams)
                return Fail(res, 503,
                            std::to_string(kMaxEventStreams) +
                                " event streams are open already: this page shows changes when reloaded");
            ++streams_;
        }
        uint64_t seen = ~0ull;
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](size_t, httplib::DataSink& sink) mutable {
                std::string out;
                {
                    std::unique_lock<std::mutex> hold(eventLock_);
                    // A second at a time, so that the stream of a page that has gone ends soon.
                    auto quiet = Clock::now() + std::chrono::seconds(10);
                    while (seen != ~0ull && Clock::now() < quiet) {
                        if (events_.wait_for(hold, std::chrono::seconds(1),
                                             [&] { return stopping_ || generation_ != seen; }))
                            break;
                        hold.unlock();
                        bool here = sink.is_writable();
                        hold.lock();
                        if (!here) return false;
                    }
                    if (stopping_) return false;
                    if (seen == ~0ull) out = "retry: 500\n";
                    out += generation_ != seen ? "data: " + std::to_string(generation_) + "\n\n"
                                               : ": still here\n\n";
                    seen = generation_;
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) {
                std::lock_guard<std::mutex> hold(eventLock_);
                --streams_;
            });
    }

    // ---- the watcher: a watch of the whole tree, armed anew each time it fires ----
    // The watch is armed again before the pages hear of a change, so that none is missed.
    // The library keeps the descriptor's address until the registry's unload fires the last
    // watch: it is RunServe's, which outlives the registry.
    void Watch() {
        int fd = *watch_;
        if (fd < 0) return;
        bool armed = false;
        while (!stopping_) {
            if (!armed) {
                std::lock_guard<std::mutex> hold(lock_);
                armed = ZrRegNotifyChangeKeyValue(HkeyRegRoot(), 1,
                                                  ZRREG_NOTIFY_CHANGE_NAME | ZRREG_NOTIFY_CHANGE_LAST_SET,
                                                  watch_, 1) == ZRREG_SUCCESS;
                if (!armed) return;
            }
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint64_t n;
            if (read(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) continue;
            {
                std::lock_guard<std::mutex> hold(lock_);
                armed = ZrRegNotifyChangeKeyValue(HkeyRegRoot(), 1,
                                                  ZRREG_NOTIFY_CHANGE_NAME | ZRREG_NOTIFY_CHANGE_LAST_SET,
                                                  watch_, 1) == ZRREG_SUCCESS;
            }
            std::lock_guard<std::mutex> hold(eventLock_);
            ++generation_;
            events_.notify_all();
        }
    }

    Registry& reg_;
    bool readOnly_;
    int* watch_;
    std::string token_, host_, origin_;
    std::set<std::string> pageRoutes_;
    std::mutex lock_;
    std::mutex eventLock_;
    std::condition_variable events_;
    uint64_t generation_ = 0;
    int streams_ = 0;
    std::atomic<bool> stopping_{false};
    Http http_;
};

int Server::Run(int port) {
    token_ = NewToken();
    if (token_.empty()) {
        Error(reg_.file(), std::string("cannot read the system's random source: ") + strerror(errno));
        return kFailed;
    }
    http_.new_task_queue = [] { return new ConnectionThreads; };
    http_.set_payload_max_length(kMaxBody);
    http_.set_keep_alive_timeout(kStallSeconds);
    bool bound =
        port ? http_.bind_to_port("127.0.0.1", port) : (port = http_.bind_to_any_port("127.0.0.1")) > 0;
    if (!bound) {
        Error(reg_.file(), "cannot listen on 127.0.0.1" +
                               (port ? ":" + std::to_string(port) : std::string()) + ": " + strerror(errno));
        return kFailed;
    }
    http_.Backlog();
    host_ = "127.0.0.1:" + std::to_string(port);
    origin_ = "http://" + host_;

    http_.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return Gate(req, res); });
    for (size_t i = 0; i < kZrPageFileCount; ++i) {
        const ZrPageFile& f = kZrPageFiles[i];
        std::string route = strcmp(f.name, "index.html") == 0 ? "/" : std::string("/") + f.name;
        pageRoutes_.insert(route);
        http_.Get(route, [&f](const httplib::Request&, httplib::Response& res) {
            res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.type);
        });
    }
    http_.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) {
        std::string types;
        for (const char* name : TypeNames()) {
            uint32_t type = 0;
            TypeFromName(name, &type);
            types += std::string(types.empty() ? "" : ", ") + "{\"name\": \"" + name + "\", \"form\": \"" +
                     EditForm(type) + "\"}";
        }
        Answer(res, 200,
               "{\"file\": " + JsonText(reg_.file()) + ", \"readOnly\": " + (readOnly_ ? "true" : "false") +
                   ", \"types\": [" + types + "]}\n");
    });
    http_.Get("/api/key", [this](const httplib::Request& q, httplib::Response& r) { GetKey(q, r); });
    http_.Get("/api/find", [this](const httplib::Request& q, httplib::Response& r) { GetFind(q, r); });
    http_.Get("/api/export", [this](const httplib::Request& q, httplib::Response& r) { GetExport(q, r); });
    http_.Get("/api/events", [this](const httplib::Request& q, httplib::Response& r) { Events(q, r); });
    http_.Post("/api/set", [this](const httplib::Request& q, httplib::Response& r) { PostSet(q, r); });
    http_.Post("/api/create", [this](const httplib::Request& q, httplib::Response& r) { PostCreate(q, r); });
    http_.Post("/api/delete", [this](const httplib::Request& q, httplib::Response& r) { PostDelete(q, r); });
    http_.Post("/api/import", [this](const httplib::Request& q, httplib::Response& r) { PostImport(q, r); });
    http_.Post("/api/rename", [this](const httplib::Request& q, httplib::Response& r) { PostRename(q, r); });
    for (const char* change : {"/api/set", "/api/create", "/api/delete", "/api/import", "/api/rename"})
        http_.Get(change, [](const httplib::Request&, httplib::Response& res) {
            Fail(res, 405, "a change is a POST with a JSON body");
        });
    http_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            Fail(res, res.status, res.status == 404 ? "no such page" : "the request was refused");
    });

    printf("http://%s/?token=%s\n", host_.c_str(), token_.c_str());
    fflush(stdout);

    // SIGINT and SIGTERM, blocked in every thread, are taken here.
    std::thread signals([this] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        int sig;
        sigwait(&set, &sig);
        {
            std::lock_guard<std::mutex> hold(eventLock_);
            stopping_ = true;
            events_.notify_all();
        }
        http_.Stop();
    });
    std::thread watcher([this] { Watch(); });
    http_.listen_after_bind();
    if (!stopping_) kill(getpid(), SIGTERM);  // ends the signal thread
    signals.join();
    watcher.join();
    return kOk;
}

}  // namespace

int RunServe(const Args& a) {
    // Before any thread starts (the library's too): the signals that end the server are
    // taken by one thread of its own.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    bool readOnly = a.Has("--read-only");
    // The watcher's descriptor, made before the registry: the library keeps its address
    // until the registry's unload.
    struct WatchFd {
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~WatchFd() {
            if (fd >= 0) close(fd);
        }
    } watch;
    Registry reg(a.pos[0]);
    if (!reg.Open(!readOnly, a.Has("--force"))) return kFailed;
    int rc;
    {
        Server server(reg, readOnly, &watch.fd);
        rc = server.Run(a.Has("--port") ? atoi(a.Get("--port").c_str()) : 0);
    }
    return reg.Close(!readOnly) ? rc : kFailed;
}

}  // namespace zrreg
