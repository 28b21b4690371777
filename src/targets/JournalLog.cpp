#include "zvk/JournalLog.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%lld", value);
    add_field(out, key, std::string_view(digits, n > 0 ? static_cast<std::size_t>(n) : 0));
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

void JournalLog::build_entry(std::string& out, const Message& message, const std::string& ident,
                             int facility) {
    std::string_view text = message.text.view();
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
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

bool JournalLog::send_in_memfd() {
    // journald takes a passed memory file only once it is sealed: nobody can
    // change it while it reads.
    const int memfd = memfd_create("vorn-journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memfd < 0) {
        console_write_failed(std::string("memfd_create: ") + std::strerror(errno));
        return false;
    }
    std::size_t done = 0;
    while (done < datagram.size()) {
        const ssize_t n = write(memfd, datagram.data() + done, datagram.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            close(memfd);
            console_write_failed(std::string("writing the entry's memory file: ") +
                                 std::strerror(err));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fcntl(memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int err = errno;
        close(memfd);
        console_write_failed(std::string("sealing the entry's memory file: ") + std::strerror(err));
        return false;
    }
    const bool sent = deliver(false, memfd) == Sent::kWhole;
    close(memfd);
    return sent;
}

bool JournalLog::send_entry(const Message& message) {
    build_entry(datagram, message, ident, facility);
    switch (deliver(false)) {
        case Sent::kWhole:
            return true;
        case Sent::kTooLong: {
            const bool sent = send_in_memfd();
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
        if (send_entry(*message)) {
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
