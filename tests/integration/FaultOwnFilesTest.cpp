// Other users and other processes in the log directory: the library never
// writes through their links and keeps working when they remove files.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {

namespace {

// Runs `body` in a child process acting as uid 65534; true when it did.
template <class Body>
bool as_other_user(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(drop_privileges().empty() && body() ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(VornFaultOwnFiles, LinkPlacedAsTheLogFileByAnotherUserIsNeverWritten) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("logs", "4K", "5");
        write_file("victim", "root's own\n");
        ASSERT_EQ(chmod(".", 0755), 0);
        ASSERT_EQ(mkdir("logs", 0755), 0);
        ASSERT_EQ(chown("logs", nobody, nobody), 0);
        ASSERT_TRUE(as_other_user([] { return symlink("../victim", "logs/app.log") == 0; }));
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            EXPECT_EQ(handle.logger, nullptr);
            log_text(handle, "record\n");
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(),
                  "Could not open log file: logs/app.log Too many levels of symbolic links\n");
        EXPECT_EQ(read_file("victim"), "root's own\n");
    });
}

// Runs `body` in `count` child processes released at the same moment;
// true when each of them returned true.
template <class Body>
bool all_at_once(int count, Body body) {
    int go[2];
    if (pipe(go) != 0) {
        return false;
    }
    std::vector<pid_t> pids;
    for (int k = 0; k < count; ++k) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c = 0;
            // All are released when the parent closes the pipe.
            (void)!read(go[0], &c, 1);
            _exit(body() ? 0 : 1);
        }
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    bool all = true;
    for (pid_t pid : pids) {
        int status = 0;
        all =
            waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && all;
    }
    return all;
}

bool app_logger_starts() {
    bool started = false;
    if (VornInit::load_config("vorn_config.xml") == 0) {
        Vorn handle("app", 0);
        started = handle.logger != nullptr;
    }
    VornInit::reset_vorn_state();
    return started;
}

// Two processes of one program start at the same moment on a directory
// with many old rotated files; each finds files gone that the other has
// just removed.
TEST(VornFaultOwnFiles, TwoProcessesStartingTogetherBothGetTheirLogger) {
    isolated([] {
        write_app_config("logs", "4K", "2");
        ASSERT_EQ(mkdir("logs", 0755), 0);
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < 400; ++i) {
                write_file("logs/app_01-01-2026_" + std::to_string(1700000000 + i) + ".log", "old");
            }
            EXPECT_TRUE(all_at_once(2, app_logger_starts)) << "round " << round;
            EXPECT_EQ(list_dir("logs").size(), 2u);
        }
    });
}

// Processes started together on a log directory that does not exist yet:
// all but one find it made by another one.
TEST(VornFaultOwnFiles, ProcessesCreatingTheLogDirectoryTogetherAllStart) {
    isolated([] {
        write_app_config("logs", "4K", "2");
        for (int round = 0; round < 20; ++round) {
            EXPECT_TRUE(all_at_once(6, app_logger_starts)) << "round " << round;
            ASSERT_EQ(std::system("rm -rf logs"), 0);
        }
    });
}

}  // namespace zvk::test
