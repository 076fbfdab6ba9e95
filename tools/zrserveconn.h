// zrreg serve's connections. cpp-httplib's own loop gives a connection a worker for as long
// as it is open and times each read alone, so that a client sending a byte now and then, or a
// few open event streams, held every worker. Here each connection has a thread of its own (up
// to a cap), and a request has a deadline for the whole of it. Threads rather than a loop of
// events that reads whole requests first: a handler waits for the registry's lock and an event
// stream for the next change, so that each needs a thread of its own anyway.
#ifndef ZRSERVECONN_H
#define ZRSERVECONN_H

#include <chrono>

#include <httplib.h>

namespace zrreg {

const int kStallSeconds = 5;      // an idle connection; a request from its first byte; one write
const int kMaxEventStreams = 32;  // /api/events streams open at once; beyond, 503

using Clock = std::chrono::steady_clock;

// The task queue for Http::new_task_queue: a thread per connection, kept for later
// connections once it ends; a connection beyond the cap is answered 503 and closed.
httplib::TaskQueue* NewConnectionThreads();

// cpp-httplib's server with the connection loop of this file.
class Http : public httplib::Server {
public:
    Http();
    ~Http() override;
    // A backlog for a burst of connections (cpp-httplib listens with 5: the next ones'
    // connects were retried a second later).
    void Backlog();
    // Ends the server: no connection waits any longer.
    void Stop();

private:
    bool process_and_close_socket(int sock) override;

    int wake_;
};

}  // namespace zrreg

#endif
