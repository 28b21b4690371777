#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/FileLog.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {
namespace {

std::string stamp_now_date() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%m-%d-%Y", &local);
    return buf;
}

TEST(FileLogNames, DirectoryAndDottedName) {
    isolated([] {
        use_log_dir(cwd() + "/app");
        auto config = file_config("server.log", "3");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_EQ(log.file_path, cwd() + "/app/server.log");
        EXPECT_EQ(log.base_name, "server");
        EXPECT_EQ(log.file_ext, ".log");
        EXPECT_EQ(log.rotated_prefix, cwd() + "/app/server_");
        EXPECT_EQ(log.file_name, "server.log");
        EXPECT_EQ(log.max_files, 3);
        EXPECT_EQ(log.rotated_name_len, 32u);
        EXPECT_GE(log.fd, 0);
        EXPECT_TRUE(std::filesystem::is_regular_file(log.file_path));
    });
}

TEST(FileLogNames, TrailingSlashKeepsBothSlashes) {
    isolated([] {
        use_log_dir(cwd() + "/");
        auto config = file_config("server.log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_EQ(log.file_path, cwd() + "//server.log");
        EXPECT_EQ(log.rotated_prefix, cwd() + "//server_");
    });
}

TEST(FileLogNames, LastDotSplitsTheName) {
    isolated([] {
        use_log_dir(cwd());
        auto config = file_config("a.b.log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_EQ(log.base_name, "a.b");
        EXPECT_EQ(log.file_ext, ".log");
        EXPECT_EQ(log.rotated_prefix, cwd() + "/a.b_");
        EXPECT_EQ(log.rotated_name_len, 29u);
    });
}

TEST(FileLogNames, ExtensionOnly) {
    isolated([] {
        use_log_dir(cwd());
        auto config = file_config(".log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_EQ(log.base_name, "");
        EXPECT_EQ(log.file_ext, ".log");
        EXPECT_EQ(log.rotated_prefix, cwd() + "/_");
        EXPECT_EQ(log.rotated_name_len, 26u);
    });
}

TEST(FileLogNames, NameWithoutDotRotatesBesideTheActiveFile) {
    isolated([] {
        use_log_dir(cwd() + "/logs");
        {
            auto config = file_config("server");
            FileLog log("file");
            ASSERT_EQ(log.init(config.get()), 1);
            EXPECT_EQ(log.base_name, "server");
            EXPECT_EQ(log.file_ext, "");
            EXPECT_EQ(log.rotated_prefix, cwd() + "/logs/server_");
            EXPECT_EQ(log.rotated_name_len, 28u);
            for (int i = 0; i < 3; ++i) {
                log.write_msg(record("r" + std::to_string(i) + "\n"));
                ASSERT_EQ(log.rotate_file(), 0);
            }
            ASSERT_EQ(log.rotated_files.size(), 3u);
            for (const auto& path : log.rotated_files) {
                EXPECT_EQ(path.size(), cwd().size() + 6 + log.rotated_name_len);
                EXPECT_EQ(path.rfind(log.rotated_prefix, 0), 0u);
            }
        }
        // A restart finds the three rotated files again and keeps the newest.
        auto config = file_config("server", "2");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        ASSERT_EQ(log.rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log.rotated_files.begin()), "r2\n");
        EXPECT_EQ(list_dir(cwd() + "/logs").size(), 2u);
    });
}

TEST(FileLogSetup, StartsFromLoadedConfigurationLastParameterWins) {
    isolated([] {
        use_log_dir(cwd());
        VornConfig config;
        ASSERT_EQ(config.load_config(std::string(R"(<vorn>
  <target name="file">
    <type>file</type>
    <file_name>first.log</file_name>
    <max_number_file>9</max_number_file>
    <file_name>app.log</file_name>
    <max_number_file>2</max_number_file>
  </target>
</vorn>)")),
                  0);
        auto* log = new FileLog("file");
        ASSERT_EQ(log->start(&config), 0);
        EXPECT_EQ(log->file_path, cwd() + "/app.log");
        EXPECT_EQ(log->max_files, 2);
        log->log(record("through the worker\n"));
        delete log;
        EXPECT_EQ(read_file(cwd() + "/app.log"), "through the worker\n");
        EXPECT_FALSE(std::filesystem::exists(cwd() + "/first.log"));
    });
}

TEST(FileLogSetup, NoRecordOpensNothing) {
    isolated([] {
        use_log_dir(cwd() + "/never");
        VornConfig config;
        FileLog log("file");
        EXPECT_EQ(log.init(&config), 1);
        EXPECT_EQ(log.fd, -1);
        EXPECT_FALSE(std::filesystem::exists(cwd() + "/never"));
    });
}

TEST(FileLogSetup, UnconvertibleMaxFilesUsesFiveTooLargeKeepsAll) {
    isolated([] {
        use_log_dir(cwd());
        for (const std::string text : {"abc", "", " 5", "5x", "+-1", "1e3", "99999999999x"}) {
            SCOPED_TRACE(text);
            auto config = file_config("a.log", text);
            FileLog log("file");
            CaptureFd out(1);
            EXPECT_EQ(log.init(config.get()), 1);
            EXPECT_EQ(out.text(), "Could not convert max number of file\nUse default number: 5\n");
            EXPECT_EQ(log.max_files, 5);
        }
        for (const std::string text : {"-1", "10000000000", "+2147483648", "-2147483649"}) {
            SCOPED_TRACE(text);
            auto config = file_config("a.log", text);
            FileLog log("file");
            CaptureFd out(1);
            EXPECT_EQ(log.init(config.get()), 1);
            EXPECT_EQ(out.text(), "");
            EXPECT_EQ(log.max_files, -1);
        }
    });
}

TEST(FileLogSetup, CreatesMissingDirectoryWithGroupWrite) {
    isolated([] {
        umask(022);
        use_log_dir(cwd() + "/made");
        auto config = file_config("a.log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        struct stat st {};
        ASSERT_EQ(stat((cwd() + "/made").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0740u);
    });
}

// With <file_group>, a member of that group who is neither the owner nor
// root enters a directory the target made and reads its files, whatever
// the umask, but adds nothing to it.
TEST(FileLogSetup, CreatedDirectoryLetsTheFileGroupInToRead) {
    const group* adm = getgrnam("adm");
    if (adm == nullptr || !cannot_drop_privileges().empty()) {
        GTEST_SKIP() << "needs root and a group adm";
    }
    const gid_t adm_gid = adm->gr_gid;
    isolated([adm_gid] {
        umask(077);
        ASSERT_EQ(chmod(".", 0755), 0);
        use_log_dir(cwd() + "/made");
        auto config = file_config("a.log");
        config->targets["file"]->params.emplace_back("file_group", "adm");
        config->targets["file"]->params.emplace_back("file_mode", "0640");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        log.write_msg(record("r\n"));
        struct stat st {};
        ASSERT_EQ(stat("made", &st), 0);
        EXPECT_EQ(st.st_gid, adm_gid);
        EXPECT_EQ(st.st_mode & 07777, 0750u);

        ASSERT_EQ(setgroups(1, &adm_gid), 0);
        ASSERT_EQ(setresgid(65534, 65534, 0), 0);
        ASSERT_EQ(setresuid(65534, 65534, 0), 0);
        std::string text(8, '\0');
        const int fd = open("made/a.log", O_RDONLY | O_CLOEXEC);
        const int open_err = errno;
        const ssize_t n = fd >= 0 ? read(fd, text.data(), text.size()) : -1;
        DIR* listed = opendir("made");
        const int created = open("made/new.log", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int create_err = errno;
        regain_root();
        ASSERT_GE(fd, 0) << std::strerror(open_err);
        close(fd);
        EXPECT_EQ(text.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0), "r\n");
        EXPECT_NE(listed, nullptr);
        if (listed != nullptr) {
            closedir(listed);
        }
        EXPECT_EQ(created, -1);
        EXPECT_EQ(create_err, EACCES);
    });
}

TEST(FileLogSetup, MissingParentDirectory) {
    isolated([] {
        std::string dir = cwd() + "/no/such";
        use_log_dir(dir);
        auto config = file_config("a.log");
        FileLog log("file");
        CaptureFd out(1);
        EXPECT_EQ(log.init(config.get()), -1);
        EXPECT_EQ(out.text(),
                  "Could not create log dir: " + dir + " - No such file or directory\n");
        EXPECT_EQ(log.fd, -1);
    });
}

TEST(FileLogSetup, DirectoryPathIsARegularFile) {
    isolated([] {
        std::string dir = cwd() + "/plain";
        write_file(dir, "x");
        use_log_dir(dir);
        auto config = file_config("a.log");
        FileLog log("file");
        CaptureFd out(1);
        EXPECT_EQ(log.init(config.get()), -1);
        EXPECT_EQ(out.text(), "Could not open " + dir + "Not a directory\n");
    });
}

TEST(FileLogSetup, OpensForAppendWithMode0664) {
    isolated([] {
        umask(0);
        use_log_dir(cwd());
        write_file(cwd() + "/a.log", "old\n");
        chmod((cwd() + "/a.log").c_str(), 0600);
        auto config = file_config("a.log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        int flags = fcntl(log.fd, F_GETFL);
        EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
        EXPECT_TRUE(flags & O_APPEND);
        EXPECT_TRUE(flags & O_NONBLOCK);
        EXPECT_TRUE(fcntl(log.fd, F_GETFD) & FD_CLOEXEC);
        log.write_msg(record("new\n"));
        EXPECT_EQ(read_file(cwd() + "/a.log"), "old\nnew\n");

        FileLog fresh("file");
        auto other = file_config("b.log");
        ASSERT_EQ(fresh.init(other.get()), 1);
        struct stat st {};
        ASSERT_EQ(stat((cwd() + "/b.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0664u);
    });
}

TEST(FileLogSetup, CatchesSizeSignalWithSiginfo) {
    isolated([] {
        signal(SIGXFSZ, SIG_DFL);
        use_log_dir(cwd());
        auto config = file_config("a.log");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        struct sigaction action {};
        ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &action), 0);
        EXPECT_EQ(action.sa_flags & SA_SIGINFO, SA_SIGINFO);
        EXPECT_EQ(action.sa_sigaction, &FileLog::handler);
        // The process survives a write beyond its limit.
        rlimit limit{4, 4};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        EXPECT_EQ(::write(log.fd, "123456", 6), 4);
        EXPECT_EQ(::write(log.fd, "7", 1), -1);
        EXPECT_EQ(errno, EFBIG);
    });
}

TEST(FileLogSetup, StampIsLocalDateAndEpochSeconds) {
    isolated([] {
        FileLog log("file");
        std::time_t before = std::time(nullptr);
        std::string date = stamp_now_date();
        std::string stamp = log.loc_time_us();
        std::time_t after = std::time(nullptr);
        ASSERT_EQ(stamp.size(), 21u) << stamp;
        EXPECT_EQ(stamp.substr(0, 11), date + "_");
        long long seconds = std::stoll(stamp.substr(11));
        EXPECT_GE(seconds, before);
        EXPECT_LE(seconds, after);
    });
}

// Seven rotated files of seconds 1..7 in reverse name order, a file of
// another target and one of the wrong length.
void seven_rotated_files(const std::string& dir) {
    const char* dates[] = {"12-01-2026", "11-01-2026", "10-01-2026", "09-01-2026",
                           "08-01-2026", "07-01-2026", "06-01-2026"};
    for (int i = 0; i < 7; ++i) {
        write_file(dir + "/app_" + dates[i] + "_" + std::to_string(1700000001 + i) + ".log",
                   std::to_string(i));
    }
    write_file(dir + "/xyz_01-01-2026_1700000000.log", "x");
    write_file(dir + "/app_01-01-2026_170000000.log", "short");
}

TEST(FileLogRetention, RestartTrimsToFourOldestBySeconds) {
    isolated([] {
        std::string dir = cwd();
        seven_rotated_files(dir);
        use_log_dir(dir);
        auto config = file_config("app.log", "5");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        std::vector<std::string> expected = {
            "app.log",
            "app_01-01-2026_170000000.log",
            "app_06-01-2026_1700000007.log",
            "app_07-01-2026_1700000006.log",
            "app_08-01-2026_1700000005.log",
            "app_09-01-2026_1700000004.log",
            "xyz_01-01-2026_1700000000.log",
        };
        EXPECT_EQ(list_dir(dir), expected);
        ASSERT_EQ(log.rotated_files.size(), 4u);
        EXPECT_EQ(*log.rotated_files.begin(), dir + "/app_09-01-2026_1700000004.log");

        // The next rotation removes the oldest of the five.
        ASSERT_EQ(log.rotate_file(), 0);
        EXPECT_EQ(log.rotated_files.size(), 4u);
        EXPECT_FALSE(std::filesystem::exists(dir + "/app_09-01-2026_1700000004.log"));
        EXPECT_TRUE(std::filesystem::exists(dir + "/app_08-01-2026_1700000005.log"));
    });
}

TEST(FileLogRetention, NewYearFilesOutliveDecemberFiles) {
    isolated([] {
        std::string dir = cwd();
        write_file(dir + "/app_12-31-2026_1798718400.log", "december");
        write_file(dir + "/app_01-01-2027_1798761600.log", "january");
        use_log_dir(dir);
        auto config = file_config("app.log", "2");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_FALSE(std::filesystem::exists(dir + "/app_12-31-2026_1798718400.log"));
        EXPECT_EQ(read_file(dir + "/app_01-01-2027_1798761600.log"), "january");
    });
}

TEST(FileLogRetention, OrderIsBySecondsThenName) {
    detail::TargetAccess::RotatedOrder before;
    EXPECT_TRUE(before("/d/a_12-31-2026_1798718400.log", "/d/a_01-01-2027_1798761600.log"));
    EXPECT_FALSE(before("/d/a_01-01-2027_1798761600.log", "/d/a_12-31-2026_1798718400.log"));
    EXPECT_TRUE(before("/d/a_01-01-1970_-5.log", "/d/a_01-01-1970_3.log"));
    EXPECT_TRUE(before("/d/a_12-31-2026_1798718400", "/d/a_01-01-2027_1798761600"));
    EXPECT_TRUE(before("/d/a_01-01-2027_1798761600.log", "/d/b_01-01-2027_1798761600.log"));
    // A name without a stamp goes first, to be trimmed before real rotations.
    EXPECT_TRUE(before("/d/a_xxxxxxxxxxxxxxxxxxxx.log", "/d/a_01-01-1970_0.log"));
    EXPECT_FALSE(before("/d/a_01-01-1970_0.log", "/d/a_01-01-1970_0.log"));
}

TEST(FileLogRetention, UndeletableFileStopsStartUp) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why
                     << "; an unprivileged run could not make a file it cannot delete "
                        "itself";
    }
    isolated([] {
        // Root ignores permissions: the scan runs in a child that gave them up.
        std::string dir = cwd() + "/logs";
        ASSERT_EQ(chmod(cwd().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        std::string old = dir + "/app_01-01-2026_1700000000.log";
        write_file(old, "keep");
        write_file(dir + "/app_01-02-2026_1700000001.log", "keep");
        use_log_dir(dir);
        auto config = file_config("app.log", "2");
        CaptureFd out(1);
        pid_t pid = fork();
        if (pid == 0) {
            if (!drop_privileges().empty() || access(dir.c_str(), R_OK | X_OK) != 0) {
                _exit(77);
            }
            FileLog log("file");
            int result = log.init(config.get());
            std::cout.flush();
            _exit(result == -1 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        std::string text = out.text();
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77) {
            GTEST_SKIP() << "cannot drop to uid 65534 or reach " << dir;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(text, "Could not remove file: " + old + "\nerror: 13 - Permission denied\n");
        EXPECT_TRUE(std::filesystem::exists(old));
        EXPECT_FALSE(std::filesystem::exists(dir + "/app.log"));
    });
}

}  // namespace
}  // namespace zvk::test
