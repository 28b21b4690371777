// Helpers for the stress and fault tests. Every test that uses them runs
// inside zvk::test::isolated, in a fresh working directory.
#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"

#if defined(__SANITIZE_THREAD__)
#define ZVK_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZVK_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(ZVK_TEST_TSAN)
#define ZVK_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZVK_TEST_SANITIZED 1
#endif
#endif

namespace zvk::test {

// Sanitizers run the same work several times slower.
#ifdef ZVK_TEST_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

inline void log_text(const Vorn& handle, const std::string& text) {
    std::ostringstream out;
    out << text;
    handle.log(std::move(out), Vorn::INFO);
}

// The size of `path`, waiting up to ten seconds for it to reach `bytes`:
// the worker writes after log() has returned.
inline off_t wait_for_size(const std::string& path, off_t bytes) {
    struct stat st {};
    for (int i = 0; i < 1000; ++i) {
        if (stat(path.c_str(), &st) == 0 && st.st_size >= bytes) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Epoch seconds in a rotated name "<base>_MM-DD-YYYY_<seconds><ext>".
inline long long rotation_seconds(const std::string& name) {
    auto underscore = name.rfind('_');
    return std::stoll(name.substr(underscore + 1));
}

// The files of `dir`: rotated ones oldest first, then `active`. Paths
// relative to the working directory.
inline std::vector<std::string> log_files_in_order(const std::string& dir,
                                                   const std::string& active) {
    std::vector<std::string> rotated;
    for (const std::string& name : list_dir(dir)) {
        if (name != active) {
            rotated.push_back(name);
        }
    }
    std::sort(rotated.begin(), rotated.end(), [](const auto& a, const auto& b) {
        return rotation_seconds(a) < rotation_seconds(b);
    });
    std::vector<std::string> paths;
    for (const std::string& name : rotated) {
        paths.push_back(dir + "/" + name);
    }
    paths.push_back(dir + "/" + active);
    return paths;
}

// Ends the process with SIGALRM when it is still running after `seconds`:
// a hang fails the test instead of stalling the suite. Generous on purpose.
inline void watchdog(unsigned seconds) { alarm(seconds); }

constexpr uid_t nobody = 65534;

// Makes this process act as uid/gid 65534 for permission checks. The saved
// ids stay 0, so `regain_root` can undo it for the clean-up; the effective
// capabilities are gone meanwhile. Empty on success, else why it failed.
inline std::string drop_privileges() {
    if (geteuid() != 0) {
        return "the tests do not run as root";
    }
    if (setgroups(0, nullptr) != 0) {
        return "setgroups is not permitted";
    }
    if (setresgid(nobody, nobody, 0) != 0) {
        return "setresgid(65534) is not permitted";
    }
    if (setresuid(nobody, nobody, 0) != 0) {
        setresgid(0, 0, 0);
        return "setresuid(65534) is not permitted";
    }
    return {};
}

// Empty when a child process can drop to uid/gid 65534, else why not.
inline std::string cannot_drop_privileges() {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string why = drop_privileges();
        ssize_t n = write(fds[1], why.data(), why.size());
        _exit(n == static_cast<ssize_t>(why.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string why;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
        why.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return why;
}

inline void regain_root() {
    EXPECT_EQ(setresuid(0, 0, 0), 0);
    EXPECT_EQ(setresgid(0, 0, 0), 0);
}

// Raises the soft limit of open files to at least `wanted` (or the hard one).
inline void allow_open_files(rlim_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace zvk::test
