// Helpers shared by the test executables.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace zvk::test {

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

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// Names of the entries of `dir` (no "." or ".."), sorted.
std::vector<std::string> list_dir(const std::string& dir);
// Splits on '\n'; a trailing piece without line end is kept.
std::vector<std::string> split_lines(const std::string& text);

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
