// zrreg serve's connections: a thread for each, up to a cap, and a deadline for a whole request.
#include "zrserveconn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zrreg {
namespace {

const size_t kMaxConnections = 128;  // served at once, a thread each
const size_t kMaxWaiting = 128;      // more wait for a thread; beyond, 503 and closed

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

}  // namespace

Http::Http() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Http::~Http() {
    if (wake_ >= 0) close(wake_);
}

void Http::Backlog() { ::listen(svr_sock_, static_cast<int>(kMaxConnections)); }

void Http::Stop() {
    uint64_t one = 1;
    if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
        // Full: readable already.
    }
    stop();
}

bool Http::process_and_close_socket(int sock) {
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

httplib::TaskQueue* NewConnectionThreads() { return new ConnectionThreads; }

}  // namespace zrreg
