// Threads the library starts inside the application's process.
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace zvk::detail {

// A thread that blocks every asynchronous signal for its whole life, so
// that the kernel delivers SIGTERM, SIGCHLD and the like only to the
// application's threads, which may be waiting for them in sigwait or a
// signalfd. The faults a thread raises itself stay deliverable: a crash in
// it is still caught. SIGPIPE is blocked: a console whose reader left
// fails the write with EPIPE instead of ending the process. Throws what
// std::thread throws.
template <class Fn>
std::thread library_thread(Fn&& fn) {
    sigset_t blocked;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGXFSZ}) {
        sigdelset(&blocked, sig);
    }
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    struct Restore {
        const sigset_t& mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};
    return std::thread(std::forward<Fn>(fn));
}

}  // namespace zvk::detail
