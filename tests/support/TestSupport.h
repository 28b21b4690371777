// Helpers shared by the test executables.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

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

#ifdef ZVK_TEST_TSAN
constexpr bool thread_sanitized = true;
#else
constexpr bool thread_sanitized = false;
#endif

// A time stamp as Vorn::time_gmt writes it.
inline const std::string StampPattern = R"(\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{6} GMT)";

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Redirects a file descriptor (1: standard output, 2: standard error) into
// a temporary file until `text()` or destruction; C++ streams are flushed
// first so that everything written before the call is caught.
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;

    // Restores the descriptor (once) and returns what was written to it.
    std::string text();

private:
    void restore();

    int target_fd;
    int saved_fd;
    std::string path;
    std::string captured;
    bool restored;
};

// Captures standard output through a pipe, which no file-size limit bounds
// (a capture file would itself hit a tiny RLIMIT_FSIZE). Holds at most what
// the pipe buffers (64 KiB): enough for diagnostics.
class StdoutPipe {
public:
    StdoutPipe();
    ~StdoutPipe();
    StdoutPipe(const StdoutPipe&) = delete;
    StdoutPipe& operator=(const StdoutPipe&) = delete;

    // Restores standard output (once) and returns what was written to it.
    std::string text();

private:
    int fds[2];
    int saved;
    std::string captured;
};

// Empty when a child process can mount a tmpfs in a mount namespace of
// its own, else why not.
std::string cannot_mount_tmpfs();
// Mounts a 64 KiB tmpfs on the new directory `dir`, in a mount namespace of
// this process alone. Before any thread exists: unshare needs a single thread.
void mount_small_tmpfs(const std::string& dir, const char* size = "64k");

constexpr uid_t nobody = 65534;

// Makes this process act as uid/gid 65534 for permission checks. The saved
// ids stay 0, so `regain_root` can undo it for the clean-up; the effective
// capabilities are gone meanwhile. Empty on success, else why it failed.
std::string drop_privileges();
// Empty when a child process can drop to uid/gid 65534, else why not.
std::string cannot_drop_privileges();
void regain_root();

// Raises the soft limit of open files to at least `wanted` (or the hard one).
void allow_open_files(rlim_t wanted);
// The soft file-size limit; `hard`, when given, gets the hard one.
rlim_t file_size_limit(rlim_t* hard = nullptr);

// Ends the process with SIGALRM when it is still running after `seconds`:
// a hang fails the test instead of stalling the suite. Generous on purpose.
void watchdog(unsigned seconds);

std::string read_file(const std::string& path);
// The calling process's resident memory.
long rss_kib();
// The heap the process has allocated and not freed (malloc's own count,
// whatever pages the allocator keeps resident).
long heap_in_use_kib();
// Everything `fd` gives until its end (a pipe's writers all closed); then
// closes it.
std::string read_to_end(int fd);
void write_file(const std::string& path, const std::string& content);
// Names of the entries of `dir` (no "." or ".."), sorted.
std::vector<std::string> list_dir(const std::string& dir);
// Splits on '\n'; a trailing piece without line end is kept.
std::vector<std::string> split_lines(const std::string& text);
std::string cwd();

// The size of `path`, waiting up to ten seconds for it to reach `bytes`:
// the worker writes after log() has returned.
off_t wait_for_size(const std::string& path, off_t bytes);
// Epoch seconds in a rotated name "<base>_MM-DD-YYYY_<seconds><ext>".
long long rotation_seconds(const std::string& name);
// The files of `dir`: rotated ones oldest first, then `active`. Paths
// relative to the working directory.
std::vector<std::string> log_files_in_order(const std::string& dir, const std::string& active);

// What `command`, run by the shell, writes to standard output; `status`,
// when given, gets its status as pclose returns it.
std::string command_output(const std::string& command, int* status = nullptr);
// `line` cut at each `separator`.
std::vector<std::string> split_fields(const std::string& line, char separator);

// The text of a log file, read back with zcat or zstdcat when its name
// ends in ".gz" or ".zst" (the real tools, as an operator would).
std::string read_log_file(const std::string& path);
// Whether this process is writing an archive in `dir`: an unnamed file
// (O_TMPFILE) of it open, or a NAME.gz.tmp / NAME.zst.tmp in it.
bool compressing_in(const std::string& dir);

// The sum of the records the failure lines of `target` in `out` count: the
// first line stands for one record, each later one says how many more.
long counted_losses(const std::string& out, const std::string& target);

std::ostringstream stream_of(const std::string& text);
void log_text(const Vorn& handle, const std::string& text);

void enter_fresh_dir(TempDir& dir);

// Writes "file:line: message" of each failure the running test has recorded
// to standard error. In a death-test child gtest forwards no events to any
// listener, and its standard error is all the parent shows of it.
void echo_failures();

// Runs `body` in a child process (re-exec, not fork: detached workers may
// hold locks) inside a fresh temporary working directory. The test fails
// when the body fails or the child dies; the child's failures appear in the
// parent's report. Use for everything that touches the service singleton,
// the global locale, RLIMIT_FSIZE, SIGXFSZ or the working directory.
template <class Body>
void isolated(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [&] {
        {
            TempDir dir;
            enter_fresh_dir(dir);
            body();
        }
        echo_failures();
        std::_Exit(testing::Test::HasFailure() ? 1 : 0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace zvk::test
