// zrreg serve's server: the page (built into the program, zrpage.cpp), the rules of who gets
// in, and the live events; the JSON interface (zrserveapi.cpp) and the connections
// (zrserveconn.cpp) are beside it.
//
// One request works on the registry at a time (`Server::lock`): the verbs read the tree
// through the internal view, which takes no lock, and every exported call may apply other
// processes' changes to the tree first. The watcher thread takes the same lock for its calls.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <httplib.h>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"
#include "zrserveapi.h"
#include "zrserveconn.h"

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

const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

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
    http_.new_task_queue = NewConnectionThreads;
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
    RouteApi(http_, reg_, readOnly_, lock_);
    http_.Get("/api/events", [this](const httplib::Request& q, httplib::Response& r) { Events(q, r); });
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
