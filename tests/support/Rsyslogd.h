// An rsyslog daemon of a test's own: in the foreground, with its
// configuration, work directory, PID file and output inside the test's
// directory, never the machine's. Debian's rsyslog package; the scripts
// install it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace zvk::test {

inline std::string rsyslogd_path() {
    for (const char* path : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

class Rsyslogd {
public:
    // `conf` with every "DIR" standing for `dir`. Its files are "rsyslog.conf",
    // "rsyslogd.pid", "rsyslogd.out" and the work directory "rsyslog-work" in
    // `dir`, each behind `name` and a dash when `name` is given, so that
    // several daemons can share a directory. Starts it at once unless told not to.
    Rsyslogd(std::string binary, std::string dir, std::string conf, const std::string& name = "",
             bool start_now = true)
        : binary(std::move(binary)), dir(std::move(dir)), prefix(name.empty() ? "" : name + "-") {
        for (std::size_t at = conf.find("DIR"); at != std::string::npos;
             at = conf.find("DIR", at)) {
            conf.replace(at, 3, this->dir);
            at += this->dir.size();
        }
        mkdir(file("rsyslog-work").c_str(), 0700);
        write_file(file("rsyslog.conf"), conf);
        if (start_now) {
            start();
        }
    }
    ~Rsyslogd() { stop(); }
    Rsyslogd(const Rsyslogd&) = delete;
    Rsyslogd& operator=(const Rsyslogd&) = delete;

    void start() {
        std::string conf = file("rsyslog.conf");
        std::string pid_file = file("rsyslogd.pid");
        std::string out = file("rsyslogd.out");
        pid = fork();
        if (pid == 0) {
            // Ends with the test even when the watchdog kills it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            // Started after the service, it would inherit the log files'
            // size limit, and its own output files would stop there.
            rlimit limit{};
            if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
                limit.rlim_cur = limit.rlim_max;
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(binary.c_str(), binary.c_str(), "-n", "-f", conf.c_str(), "-i", pid_file.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }

    // The path of this daemon's `base` ("rsyslogd.out", "rsyslog-work", ...).
    std::string file(const std::string& base) const { return dir + "/" + prefix + base; }

    pid_t pid = -1;

private:
    std::string binary;
    std::string dir;
    std::string prefix;
};

// Whether `path` exists within five seconds (a daemon's socket, say).
inline bool wait_for_path(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// The lines of `path` once it holds `count` of them, or when it has not
// grown for `quiet`.
inline std::vector<std::string> wait_for_lines(
    const std::string& path, std::size_t count,
    std::chrono::steady_clock::duration quiet = std::chrono::seconds(30)) {
    std::size_t size = 0;
    auto last_growth = std::chrono::steady_clock::now();
    for (;;) {
        std::string text = read_file(path);
        std::vector<std::string> lines = split_lines(text);
        if (!lines.empty() && lines.back().empty()) {
            lines.pop_back();
        }
        auto now = std::chrono::steady_clock::now();
        if (text.size() != size) {
            size = text.size();
            last_growth = now;
        }
        if (lines.size() >= count || now - last_growth > quiet) {
            return lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace zvk::test
