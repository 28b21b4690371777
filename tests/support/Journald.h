// A systemd-journald of a test's own: the test process moves into a mount
// namespace of its own with a fresh tmpfs on /run, where journald makes its
// sockets at their usual paths and keeps its journal in memory
// (Storage=volatile, rate limiting and forwarding off), so that neither
// the machine's journal nor its configuration is touched. Entries are read
// back with journalctl and Python's json module. Debian's systemd and
// python3 packages; the scripts install them.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace zvk::test {

inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// Why a journald of the test's own cannot run here; empty when it can.
inline std::string cannot_run_journald() {
    if (access("/lib/systemd/systemd-journald", X_OK) != 0 ||
        access("/usr/bin/journalctl", X_OK) != 0) {
        return "systemd-journald is not installed (scripts/deps.sh installs systemd)";
    }
    if (access("/usr/bin/python3", X_OK) != 0) {
        return "python3 is not installed";
    }
    return cannot_mount_tmpfs();
}

// True when something is bound to the datagram socket at `path`.
inline bool socket_listens(const char* path) {
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    const bool bound = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return bound;
}

class Journald {
public:
    // Gives this process its own /run, then starts journald. Before any
    // thread exists (unshare needs a single thread): first in `isolated`.
    Journald() {
        private_run();
        write_file(cwd() + "/entries.py", kEntriesScript);
        start();
    }
    // Only the private /run, with the configuration the daemon would read.
    static void private_run() {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
            ADD_FAILURE() << "no private /run: " << std::strerror(errno);
            return;
        }
        mkdir("/run/systemd", 0755);
        mkdir("/run/systemd/journald.conf.d", 0755);
        write_file("/run/systemd/journald.conf.d/zz-zvk-test.conf",
                   "[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\nRateLimitBurst=0\n"
                   "ForwardToSyslog=no\nForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\n"
                   "ReadKMsg=no\nAudit=no\nRuntimeMaxUse=512M\n");
    }
    ~Journald() { stop(); }
    Journald(const Journald&) = delete;
    Journald& operator=(const Journald&) = delete;

    void start() {
        const std::string out = cwd() + "/journald.out";
        pid = fork();
        if (pid == 0) {
            // Ends with the test even when the watchdog kills it; free of
            // the file-size limit the service sets for the process.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &unlimited);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl("/lib/systemd/systemd-journald", "systemd-journald", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400 && !socket_listens(kJournalSocket); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        EXPECT_TRUE(socket_listens(kJournalSocket)) << read_file(out);
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }

    // This process's entries matching `match` (journalctl's FIELD=VALUE,
    // or empty), a line each: PRIORITY, TID, VORN_LOGGER, CODE_FILE,
    // CODE_LINE, CODE_FUNC, SYSLOG_IDENTIFIER, SYSLOG_FACILITY and MESSAGE,
    // tab-separated, with backslash, tab and line end in the message
    // escaped as \\, \t and \n; "-" for a field the entry lacks. Waits
    // until there are `count` or they stopped growing for `quiet`.
    std::vector<std::string> entries(std::size_t count, const std::string& match = "",
                                     std::chrono::seconds quiet = std::chrono::seconds(10)) const {
        const std::string command = "journalctl --directory /run/log/journal/* -a -o json _PID=" +
                                    std::to_string(getpid()) + " " + match +
                                    " 2>/dev/null | python3 " + cwd() + "/entries.py";
        std::size_t seen = 0;
        auto last_growth = std::chrono::steady_clock::now();
        for (;;) {
            std::vector<std::string> lines = split_lines(command_output(command));
            if (!lines.empty() && lines.back().empty()) {
                lines.pop_back();
            }
            const auto now = std::chrono::steady_clock::now();
            if (lines.size() != seen) {
                seen = lines.size();
                last_growth = now;
            }
            if (lines.size() >= count || now - last_growth > quiet) {
                return lines;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    pid_t pid = -1;

private:
    static constexpr const char* kEntriesScript = R"(import json, sys
FIELDS = ["PRIORITY", "TID", "VORN_LOGGER", "CODE_FILE", "CODE_LINE", "CODE_FUNC",
          "SYSLOG_IDENTIFIER", "SYSLOG_FACILITY", "MESSAGE", "VORN_REALTIME_TIMESTAMP"]
def text(value):
    if value is None:
        return "-"
    if isinstance(value, list):
        value = bytes(value).decode("utf-8", "replace")
    return value.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
for line in sys.stdin:
    entry = json.loads(line)
    print("\t".join(text(entry.get(field)) for field in FIELDS))
)";
};

}  // namespace zvk::test
