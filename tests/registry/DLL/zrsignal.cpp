// The tests' signal of an asynchronous change notification (see zrsignal.h).
#include "zrsignal.h"

#include <stdint.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>

Signal::Signal() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
Signal::~Signal() { CloseHandle(event_); }
void* Signal::Event() { return event_; }
bool Signal::Fired(int ms) {
    if (WaitForSingleObject(event_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return false;
    ResetEvent(event_);
    return true;
}
#else
#include <poll.h>
#include <unistd.h>

Signal::Signal() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
}
Signal::~Signal() {
    close(fds_[0]);
    close(fds_[1]);
}
void* Signal::Event() { return &fds_[1]; }
bool Signal::Fired(int ms) {
    struct pollfd p = {fds_[0], POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    unsigned char buf[64];
    ssize_t n = read(fds_[0], buf, sizeof buf);
    uint64_t one = 1;
    return n == 8 && memcmp(buf, &one, 8) == 0;
}
#endif
