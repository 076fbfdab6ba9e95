// What an asynchronous change notification signals in the tests: a pipe on POSIX, an
// event on Windows (apart from the library's headers, which Windows' own would clash with).
#ifndef ZRSIGNAL_H
#define ZRSIGNAL_H

class Signal {
public:
    Signal();
    ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void* Event();  // what ZrRegNotifyChangeKeyValue takes
    // Whether it was signalled within `ms`; a signal seen is taken (the pipe read empty,
    // the event reset). On POSIX a signal must be exactly the 8 bytes of the number 1.
    bool Fired(int ms);

private:
#ifdef _WIN32
    void* event_;
#else
    int fds_[2];
#endif
};

#endif
