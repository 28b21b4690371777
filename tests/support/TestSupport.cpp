#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

namespace zvk::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zvk-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    dir = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may have made files read-only or directories unsearchable.
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir, ec);
}

CaptureFd::CaptureFd(int fd) : target_fd(fd), saved_fd(-1), restored(false) {
    std::cout.flush();
    std::clog.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    char templ[] = "/tmp/zvk-capture-XXXXXX";
    int tmp = mkstemp(templ);
    path = templ;
    saved_fd = dup(fd);
    dup2(tmp, fd);
    close(tmp);
}

CaptureFd::~CaptureFd() {
    restore();
    unlink(path.c_str());
}

void CaptureFd::restore() {
    if (restored) {
        return;
    }
    std::cout.flush();
    std::clog.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    dup2(saved_fd, target_fd);
    close(saved_fd);
    restored = true;
    captured = read_file(path);
}

std::string CaptureFd::text() {
    restore();
    return captured;
}

StdoutPipe::StdoutPipe() : fds{-1, -1}, saved(-1) {
    std::cout.flush();
    std::fflush(stdout);
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
}

StdoutPipe::~StdoutPipe() { text(); }

std::string StdoutPipe::text() {
    if (saved >= 0) {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        saved = -1;
        captured = read_to_end(fds[0]);
    }
    return captured;
}

std::string cannot_mount_tmpfs() {
    TempDir probe;
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            _exit(1);
        }
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        _exit(mount("tmpfs", probe.path().c_str(), "tmpfs", 0, "size=64k") == 0 ? 0 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 1 ? "unshare(CLONE_NEWNS) is not permitted"
                                                         : "mounting a tmpfs is not permitted";
}

void mount_small_tmpfs(const std::string& dir, const char* size) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::string(size)).c_str()), 0);
}

std::string drop_privileges() {
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

std::string cannot_drop_privileges() {
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
    std::string why = read_to_end(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return why;
}

void regain_root() {
    EXPECT_EQ(setresuid(0, 0, 0), 0);
    EXPECT_EQ(setresgid(0, 0, 0), 0);
}

void allow_open_files(rlim_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

rlim_t file_size_limit(rlim_t* hard) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    if (hard != nullptr) {
        *hard = limit.rlim_max;
    }
    return limit.rlim_cur;
}

void watchdog(unsigned seconds) { alarm(seconds); }

std::string read_to_end(int fd) {
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        all.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return all;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string cwd() { return std::filesystem::current_path().string(); }

off_t wait_for_size(const std::string& path, off_t bytes) {
    struct stat st {};
    for (int i = 0; i < 1000; ++i) {
        if (stat(path.c_str(), &st) == 0 && st.st_size >= bytes) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

long long rotation_seconds(const std::string& name) {
    auto underscore = name.rfind('_');
    return std::stoll(name.substr(underscore + 1));
}

std::vector<std::string> log_files_in_order(const std::string& dir, const std::string& active) {
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

bool compressing_in(const std::string& dir) {
    for (const std::string& name : list_dir(dir)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
            return true;
        }
    }
    // An unnamed file shows in /proc as "DIR/#INODE (deleted)".
    const std::string unnamed = cwd() + "/" + dir + "/#";
    for (const std::string& fd : list_dir("/proc/self/fd")) {
        char target[4096];
        const ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(unnamed, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string read_log_file(const std::string& path) {
    const auto ends = [&](const std::string& tail) {
        return path.size() > tail.size() &&
               path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    const char* tool = ends(".gz") ? "zcat" : ends(".zst") ? "zstdcat -q" : nullptr;
    if (tool == nullptr) {
        return read_file(path);
    }
    int status = 0;
    std::string text = command_output(std::string(tool) + " '" + path + "'", &status);
    if (status != 0) {
        ADD_FAILURE() << tool << " failed on " << path;
    }
    return text;
}

std::string command_output(const std::string& command, int* status) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return text;
    }
    char buffer[65536];
    for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, n);
    }
    const int ended = pclose(pipe);
    if (status != nullptr) {
        *status = ended;
    }
    return text;
}

std::vector<std::string> split_fields(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t at = line.find(separator); at != std::string::npos;
         from = at + 1, at = line.find(separator, from)) {
        fields.push_back(line.substr(from, at - from));
    }
    fields.push_back(line.substr(from));
    return fields;
}

long counted_losses(const std::string& out, const std::string& target) {
    long lost = 0;
    const std::regex first("Could not write msg in target: " + target + " - [A-Za-z ]+");
    const std::regex more("Could not write msg in target: " + target +
                          " - (\\d+) more records lost");
    for (const std::string& line : split_lines(out)) {
        std::smatch match;
        if (std::regex_match(line, match, more)) {
            lost += std::stol(match[1]);
        } else if (std::regex_match(line, first)) {
            ++lost;
        }
    }
    return lost;
}

std::ostringstream stream_of(const std::string& text) {
    std::ostringstream stream;
    stream << text;
    return stream;
}

long heap_in_use_kib() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

void log_text(const Vorn& handle, const std::string& text) {
    handle.log(stream_of(text), Vorn::INFO);
}

void echo_failures() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) {
        return;
    }
    std::string text;
    for (int i = 0; i < test->result()->total_part_count(); ++i) {
        const testing::TestPartResult& part = test->result()->GetTestPartResult(i);
        if (part.failed()) {
            text += std::string(part.file_name() != nullptr ? part.file_name() : "unknown file") +
                    ":" + std::to_string(part.line_number()) + ": " + part.message() + "\n";
        }
    }
    // Composed first, so that threads the body left running cannot split it.
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = write(2, text.data() + done, text.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
}

void enter_fresh_dir(TempDir& dir) {
    if (chdir(dir.path().c_str()) != 0) {
        ADD_FAILURE() << "chdir " << dir.path();
    }
}

}  // namespace zvk::test
