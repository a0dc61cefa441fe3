// Keeping SIGPIPE from ending the process while the library writes to a pipe
// or connection whose other end may be gone.
#pragma once

#ifdef _WIN32

namespace pelox::host {

// Windows has no SIGPIPE: a send on a connection the peer has closed, or a
// write into a pipe whose reader has gone, fails with an error code and
// nothing else happens. The guard has nothing to do there.
class SigpipeBlocker {
public:
    SigpipeBlocker() {}  // user-provided: a guard object is not an unused variable
    SigpipeBlocker(const SigpipeBlocker&) = delete;
    SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;
};

// Flags for send() on a socket: nothing to add.
inline constexpr int kSendNoSigpipe = 0;

}  // namespace pelox::host

#else

#include <pthread.h>
#include <sys/socket.h>

#include <csignal>
#include <ctime>

namespace pelox::host {

// Flags for send() on a socket: a peer that has closed the connection makes
// the send fail with EPIPE instead of raising SIGPIPE.
inline constexpr int kSendNoSigpipe = MSG_NOSIGNAL;

// Writing to a connection or pipe whose reader has gone raises SIGPIPE, which
// ends a process that has not chosen to ignore it. The library installs no
// signal handlers, so instead SIGPIPE is blocked for the calling thread while
// an instance lives; a SIGPIPE that became pending meanwhile (one the guarded
// writes caused) is taken off again before the old mask comes back, while one
// that was already pending before is left alone. The writes themselves then
// fail with EPIPE.
class SigpipeBlocker {
public:
    SigpipeBlocker() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeBlocker() {
        if (!blocked_) return;
        sigset_t pending;
        sigemptyset(&pending);
        if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlocker(const SigpipeBlocker&) = delete;
    SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool wasPending_ = false;
    bool blocked_ = false;
};

}  // namespace pelox::host

#endif
