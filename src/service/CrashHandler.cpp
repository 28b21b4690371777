#include "CrashHandler.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../targets/CrashFlush.h"
#include "zvk/Target.h"

namespace zvk::detail {

namespace {

// More targets than this are not flushed at a crash; a process has a few.
constexpr int kMaxWatched = 256;
std::atomic<Target*> watched[kMaxWatched];

constexpr int kFatal[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Only taken while at their default: an application that handles them
// has its own way of ending.
constexpr int kPolite[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int kSignals = 65;

// Written under the registry mutex while no handler runs; read by it.
struct sigaction previous[kSignals];
bool taken[kSignals];

// The first thread to arrive (crash_arrivals) flushes; others wait for
// it, so that one dying thread does not end the process while another
// still flushes.
std::atomic<bool> flushed{false};

// In all, a crash waits at most this long for the targets, and this long
// for one target's mutex (the crashing thread itself may hold it).
constexpr timespec kFlushBound{3, 0};
constexpr timespec kLockBound{0, 500'000'000};
// A write the first thread began just before its deadline may end later.
constexpr timespec kLastWrite{0, 100'000'000};

alignas(16) char first_stack[kCrashStackSize];
bool first_stack_used = false;

timespec later(timespec from, const timespec& by) {
    from.tv_sec += by.tv_sec;
    from.tv_nsec += by.tv_nsec;
    if (from.tv_nsec >= 1'000'000'000) {
        from.tv_sec += 1;
        from.tv_nsec -= 1'000'000'000;
    }
    return from;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// "Could not flush target: NAME" with write(2): nothing here may allocate
// or take a lock that the crashing thread may hold.
void say_not_flushed(const Target& target) {
    char line[512];
    constexpr char words[] = "Could not flush target: ";
    std::size_t n = sizeof words - 1;
    std::memcpy(line, words, n);
    std::size_t name =
        target.name.size() < sizeof line - n - 1 ? target.name.size() : sizeof line - n - 1;
    std::memcpy(line + n, target.name.data(), name);
    n += name;
    line[n++] = '\n';
    for (std::size_t done = 0; done < n;) {
        ssize_t w = write(STDOUT_FILENO, line + done, n - done);
        if (w <= 0) {
            break;
        }
        done += static_cast<std::size_t>(w);
    }
}

// The calling thread at the process's nice (its first thread's), while it
// flushes: a signal on a thread the library or the application runs at a
// low priority (the compressor's nice 19) is otherwise served after every
// busy thread of the process, past the bound. Raw system calls; a process
// without the right to lower a nice (CAP_SYS_NICE, RLIMIT_NICE) keeps it.
class ProcessPriority {
public:
    ProcessPriority() : tid(syscall(SYS_gettid)), own(syscall(SYS_getpriority, PRIO_PROCESS, tid)) {
        // The system call gives 20 - nice: higher is more urgent.
        const long process = syscall(SYS_getpriority, PRIO_PROCESS, getpid());
        raised = own > 0 && process > own &&
                 syscall(SYS_setpriority, PRIO_PROCESS, tid, 20 - process) == 0;
    }
    ~ProcessPriority() {
        if (raised) {
            syscall(SYS_setpriority, PRIO_PROCESS, tid, 20 - own);
        }
    }
    ProcessPriority(const ProcessPriority&) = delete;
    ProcessPriority& operator=(const ProcessPriority&) = delete;

private:
    long tid;
    long own;
    bool raised = false;
};

void on_fatal_signal(int sig, siginfo_t* info, void*) {
    int saved_errno = errno;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = later(now, kFlushBound);
    if (crash_arrivals.fetch_add(1, std::memory_order_seq_cst) == 0) {
        ProcessPriority priority;
        for (auto& slot : watched) {
            // After the fetch_add, as crash_begun() after unwatch_target.
            Target* target = slot.load(std::memory_order_seq_cst);
            if (target == nullptr) {
                continue;
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (!flush_at_crash(*target, deadline, later(now, kLockBound))) {
                say_not_flushed(*target);
            }
        }
        flushed.store(true);
    } else {
        // The first began before this one did: its deadline is earlier.
        const timespec pause{0, 1'000'000};
        const timespec until = later(deadline, kLastWrite);
        while (!flushed.load() && before(now, until)) {
            nanosleep(&pause, nullptr);
            clock_gettime(CLOCK_MONOTONIC, &now);
        }
    }
    // The disposition from before the library took the signal: the exit
    // status, the core dump and any other crash handler are as without it.
    if (sig > 0 && sig < kSignals) {
        sigaction(sig, &previous[sig], nullptr);
    }
    errno = saved_errno;
    // A fault raised by the kernel comes back by itself when the faulting
    // instruction runs again; one that was sent is sent again (it is
    // blocked until this handler returns).
    bool fault = sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE;
    if (!fault || info == nullptr || info->si_code <= 0) {
        raise(sig);
    }
}

bool is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_fatal_signal;
}

bool at_default(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

void take(int sig, bool only_from_default) {
    struct sigaction current {};
    if (taken[sig] || sigaction(sig, nullptr, &current) != 0) {
        return;
    }
    if (only_from_default && !at_default(current)) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // Nothing else interrupts the flush; a fault inside it ends the process.
    sigfillset(&action.sa_mask);
    previous[sig] = current;
    if (sigaction(sig, &action, nullptr) == 0) {
        taken[sig] = true;
    }
}

}  // namespace

void watch_target(Target* target) {
    for (auto& slot : watched) {
        Target* empty = nullptr;
        if (slot.compare_exchange_strong(empty, target)) {
            return;
        }
    }
}

void unwatch_target(Target* target) {
    for (auto& slot : watched) {
        Target* expected = target;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
}

void enable_crash_flush() {
    for (int sig : kFatal) {
        take(sig, false);
    }
    for (int sig : kPolite) {
        take(sig, true);
    }
    // The thread that initialises is usually the main thread, whose stack
    // is the one most likely to overflow.
    stack_t current{};
    if (!first_stack_used && sigaltstack(nullptr, &current) == 0 &&
        (current.ss_flags & SS_DISABLE) != 0) {
        stack_t stack{};
        stack.ss_sp = first_stack;
        stack.ss_size = kCrashStackSize;
        first_stack_used = sigaltstack(&stack, nullptr) == 0;
    }
    crash_flush_on.store(true);
}

void disable_crash_flush() {
    crash_flush_on.store(false);
    for (int sig = 1; sig < kSignals; ++sig) {
        if (!taken[sig]) {
            continue;
        }
        struct sigaction current {};
        // A handler the application installed after ours stays its own.
        if (sigaction(sig, nullptr, &current) == 0 && is_ours(current)) {
            sigaction(sig, &previous[sig], nullptr);
        }
        taken[sig] = false;
    }
}

}  // namespace zvk::detail
