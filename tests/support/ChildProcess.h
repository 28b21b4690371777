// A forked child for cases that must die, hang or exit: the parent sees
// how it ended and how long it took, and a hang fails the case instead of
// the suite. Fork only from a process without other threads (inside
// `isolated`, before the service starts).
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace zvk::test {

// A sanitizer's own SIGSEGV handler would end the process its way: the
// crash cases expect the default's.
inline void default_fault_handling() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &fallback, nullptr);
}

// The threads of this process other than the calling one: the workers.
inline std::vector<pid_t> other_threads() {
    std::vector<pid_t> tids;
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    for (const std::string& entry : list_dir("/proc/self/task")) {
        const pid_t tid = std::stoi(entry);
        if (tid != self) {
            tids.push_back(tid);
        }
    }
    return tids;
}

struct ChildEnd {
    int status = 0;
    bool hung = false;  // killed after the time allowed
    double seconds = 0;
    std::string out;  // standard output, when captured
};

// Runs `body` in a forked child, which exits with 0 when the body returns.
// A child still running after `allowed_seconds` is killed and counts as
// hung.
template <class Body>
ChildEnd run_child(Body body, double allowed_seconds, bool capture_stdout = false) {
    int out[2] = {-1, -1};
    if (capture_stdout && pipe(out) != 0) {
        return {};
    }
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (capture_stdout) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
        }
        body();
        std::_Exit(0);
    }
    ChildEnd end;
    std::thread reader;
    if (capture_stdout) {
        close(out[1]);
        reader = std::thread([&] { end.out = read_to_end(out[0]); });
    }
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    while (waitpid(pid, &end.status, WNOHANG) == 0) {
        if (elapsed() > allowed_seconds) {
            end.hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &end.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    end.seconds = elapsed();
    if (reader.joinable()) {
        reader.join();
    }
    return end;
}

}  // namespace zvk::test
