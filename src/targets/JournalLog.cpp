#include "zvk/JournalLog.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "../config/Settings.h"
#include "../frontend/Report.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

// KEY=value, or where the value has a line end (which would end it) or a
// NUL the
// binary form: KEY, line end, its length as 64-bit little endian, the
// bytes, line end.
void add_field(std::string& out, std::string_view key, std::string_view value) {
    out.append(key);
    if (value.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos) {
        out += '=';
        out.append(value);
        out += '\n';
        return;
    }
    out += '\n';
    std::uint64_t length = value.size();
    for (int byte = 0; byte < 8; ++byte) {
        out += static_cast<char>((length >> (8 * byte)) & 0xFF);
    }
    out.append(value);
    out += '\n';
}

void add_number(std::string& out, std::string_view key, long long value) {
    add_field(out, key, detail::decimal(value));
}

// What ends a MESSAGE cut so that its entry fits the file-size limit.
constexpr std::string_view kCutMark = " [cut at the file size limit]";
// How such an entry is counted, as a loss of its end.
constexpr const char* kCutReason = "record cut at the file size limit";

// The part of an entry's memory file that the process's file-size limit
// kept out, written by a child process (sharing memory, not limits) that
// raises its own soft limit to the hard one: the limit of the process and
// its other threads never changes.
struct UnlimitedWrite {
    int fd;
    const char* data;
    std::size_t size;
};

// The child's whole life, while its parent thread waits: raw system calls
// only. Its exit status is 0 or the error.
int write_unlimited(void* argument) {
    const auto* job = static_cast<const UnlimitedWrite*>(argument);
    rlimit limit{};
    if (syscall(SYS_prlimit64, 0, RLIMIT_FSIZE, nullptr, &limit) != 0) {
        return errno;
    }
    limit.rlim_cur = limit.rlim_max;
    if (syscall(SYS_prlimit64, 0, RLIMIT_FSIZE, &limit, nullptr) != 0) {
        return errno;
    }
    const char* data = job->data;
    std::size_t size = job->size;
    while (size != 0) {
        const long n = syscall(SYS_write, job->fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // EFBIG: the hard limit is below the entry too.
            return n < 0 ? errno : EIO;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

#if defined(__SANITIZE_THREAD__)
#define ZVK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZVK_THREAD_SANITIZER 1
#endif
#endif

// 0 once `size` bytes of `data` are appended to `fd` beyond the process's
// file-size limit, else the error.
int append_beyond_limit(int fd, const char* data, std::size_t size) {
    UnlimitedWrite job{fd, data, size};
    // The child starts with every signal blocked: no handler of the
    // application's may run in it, on memory it shares with the process.
    // Its SIGXFSZ then stays pending and the write fails with EFBIG.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
#ifdef ZVK_THREAD_SANITIZER
    // ThreadSanitizer takes every clone for a fork and cannot follow one
    // that shares the memory: a fork's copy does the same here.
    const pid_t child = fork();
    if (child == 0) {
        _exit(write_unlimited(&job));
    }
#else
    // The child runs on this, in the frame of the thread that waits for it
    // (CLONE_VFORK). No exit signal: the application's SIGCHLD handling
    // never sees it.
    alignas(64) char stack[16 * 1024];
    const pid_t child = clone(write_unlimited, stack + sizeof stack, CLONE_VM | CLONE_VFORK, &job);
#endif
    const int err = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (child < 0) {
        return err;
    }
    int status = 0;
    while (waitpid(child, &status, __WALL) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
}

bool is_socket(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

JournalLog::JournalLog(const std::string& name)
    : SyslogLog(name, JOURNAL_TARGET, detail::kJournalSocket) {}

// The worker may be inside write_msg, which uses this object's members.
JournalLog::~JournalLog() { shutdown(); }

int JournalLog::init(const VornConfig* config) {
    if (SyslogLog::init(config) != 0) {
        return -1;
    }
    const VornConfig::target_cf_t* record = config != nullptr ? config->get_target(name) : nullptr;
    const bool configured = record != nullptr && detail::syslog_settings(*record).socket != nullptr;
    // A configured socket that is not there yet is waited for, as by the
    // syslog target; the default one missing means no journald here.
    if (!configured && !is_socket(socket_path.c_str())) {
        detail::report("No journald socket at " + socket_path + ", target: " + name +
                       " sends to /dev/log in the syslog format");
        socket_path = "/dev/log";
        syslog_fallback = true;
    }
    return 0;
}

namespace {

std::string_view message_text(const Message& message) {
    std::string_view text = message.text.view();
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

void JournalLog::build_entry(std::string& out, const Message& message, const std::string& ident,
                             int facility) {
    build_entry(out, message, message_text(message), ident, facility);
}

void JournalLog::build_entry(std::string& out, const Message& message, std::string_view text,
                             const std::string& ident, int facility) {
    out.clear();
    add_field(out, "MESSAGE", text);
    add_number(out, "PRIORITY", severity_of(message.level));
    add_field(out, "SYSLOG_IDENTIFIER", ident);
    add_number(out, "SYSLOG_FACILITY", facility);
    const Origin& origin = message.origin;
    if (origin.time_us != 0) {
        // journald stamps an entry when it receives it; the record's own
        // time is what a reader of a backed-up target needs.
        add_number(out, "VORN_REALTIME_TIMESTAMP", origin.time_us);
    }
    if (origin.thread != 0) {
        add_number(out, "TID", origin.thread);
    }
    if (origin.logger != nullptr) {
        add_field(out, "VORN_LOGGER", origin.logger);
    }
    if (origin.file != nullptr) {
        add_field(out, "CODE_FILE", origin.file);
        add_number(out, "CODE_LINE", origin.line);
    }
    if (origin.func != nullptr) {
        add_field(out, "CODE_FUNC", origin.func);
    }
}

int JournalLog::fill_memfd(int memfd) {
    std::size_t done = 0;
    while (done < datagram.size()) {
        const ssize_t n = write(memfd, datagram.data() + done, datagram.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EFBIG) {
            // The process's file-size limit, which bounds memory files too
            // (SIGXFSZ is caught): the rest goes in beyond it.
            return append_beyond_limit(memfd, datagram.data() + done, datagram.size() - done);
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

bool JournalLog::cut_to_limit(const Message& message) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return false;
    }
    const std::string_view text = message_text(message);
    // Room for the entry's other fields and the mark, in whichever form
    // MESSAGE then takes (the binary one is 8 bytes longer).
    const std::size_t others = datagram.size() - text.size() + kCutMark.size() + 8;
    if (others >= limit.rlim_cur) {
        return false;
    }
    std::size_t keep = std::min<std::size_t>(text.size(), limit.rlim_cur - others);
    // After a whole UTF-8 character.
    while (keep > 0 && keep < text.size() &&
           (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    std::string shortened(text.substr(0, keep));
    shortened.append(kCutMark);
    build_entry(datagram, message, shortened, ident, facility);
    return datagram.size() <= limit.rlim_cur;
}

bool JournalLog::send_in_memfd(const Message& message) {
    // journald takes a passed memory file only once it is sealed: nobody can
    // change it while it reads.
    const int memfd = memfd_create("vorn-journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memfd < 0) {
        console_write_failed(std::string("memfd_create: ") + detail::error_text(errno));
        return false;
    }
    int err = fill_memfd(memfd);
    sent_cut = false;
    if (err == EFBIG && ftruncate(memfd, 0) == 0 && lseek(memfd, 0, SEEK_SET) == 0 &&
        cut_to_limit(message)) {
        // Even the hard limit is below the entry: it goes cut, marked and
        // counted.
        sent_cut = true;
        err = fill_memfd(memfd);
    }
    if (err != 0) {
        close(memfd);
        console_write_failed(std::string("writing the entry's memory file: ") +
                             detail::error_text(err));
        return false;
    }
    if (fcntl(memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int err = errno;
        close(memfd);
        console_write_failed(std::string("sealing the entry's memory file: ") +
                             detail::error_text(err));
        return false;
    }
    const bool sent = deliver(false, memfd) == Sent::kWhole;
    close(memfd);
    if (sent && sent_cut) {
        console_write_failed(kCutReason);
    }
    return sent;
}

bool JournalLog::send_entry(const Message& message) {
    build_entry(datagram, message, ident, facility);
    switch (deliver(false)) {
        case Sent::kWhole:
            return true;
        case Sent::kTooLong: {
            const bool sent = send_in_memfd(message);
            // One huge record should not keep its buffer for the target's life.
            constexpr std::size_t kKeptCapacity = 256 * 1024;
            if (datagram.capacity() > kKeptCapacity) {
                std::string().swap(datagram);
            }
            return sent;
        }
        case Sent::kFailed:
            break;
    }
    return false;
}

void JournalLog::write_msg(Message* message) {
    if (syslog_fallback) {
        SyslogLog::write_msg(message);
        return;
    }
    try {
        sent_cut = false;
        if (send_entry(*message) && !sent_cut) {
            write_succeeded();
        }
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
    retire(message);
}

}  // namespace zvk
