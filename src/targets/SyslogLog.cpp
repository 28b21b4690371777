#include "zvk/SyslogLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "../config/Settings.h"
#include "../frontend/Clock.h"
#include "../frontend/Report.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

// Whatever the global locale: the receivers parse these.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

using detail::decimal;
using detail::error_text;

// A send that a fresh connection may cure: the receiver restarted, and its
// socket is a new one (or not there yet).
bool receiver_gone(int err) {
    return err == ECONNREFUSED || err == ENOTCONN || err == ENOENT || err == EPIPE ||
           err == EBADF || err == EDESTADDRREQ;
}

// How long one send may wait for a receiver whose queue is full, and how
// often a receiver that let a send time out is tried again.
constexpr int kSendWaitMs = 1000;
constexpr std::int64_t kProbeEveryMs = 1000;

std::string truncated_words(const std::string& target, std::uint64_t count, bool first) {
    std::string line = "Record longer than the syslog socket takes, truncated in target: " + target;
    return first ? line : line + " - " + decimal(count) + " more records truncated";
}

}  // namespace

int SyslogLog::facility_from(std::string_view name) { return detail::syslog_facility(name); }

int SyslogLog::severity_of(int level) {
    switch (level) {
        case Vorn::FATAL:
            return 2;
        case Vorn::ERROR:
            return 3;
        case Vorn::WARN:
            return 4;
        case Vorn::INFO:
            return 6;
        case Vorn::TRACE:
        case Vorn::DEBUG:
            return 7;
        default:  // OUT, AUDIT
            return 5;
    }
}

std::string SyslogLog::program_name() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? std::string(program_invocation_short_name) : name;
}

SyslogLog::SyslogLog(const std::string& name) : SyslogLog(name, SYSLOG_TARGET, "/dev/log") {}

SyslogLog::SyslogLog(const std::string& name, Type type, std::string socket)
    : Target(name, type), socket_path(std::move(socket)), facility(1), fd(-1), longest(0) {}

SyslogLog::~SyslogLog() {
    // The worker may be inside write_msg, which uses the socket.
    shutdown();
    if (fd >= 0) {
        close(fd);
    }
}

int SyslogLog::init(const VornConfig* config) {
    // Throws for an unknown locale name: the start fails, as for every target.
    Target::init(config);
    ident = program_name();
    const VornConfig::target_cf_t* record = config != nullptr ? config->get_target(name) : nullptr;
    if (record == nullptr) {
        return 0;
    }
    const detail::SyslogSettings settings = detail::syslog_settings(*record);
    if (settings.socket != nullptr) {
        socket_path = *settings.socket;
    }
    if (settings.facility_name != nullptr) {
        facility = settings.facility;
        if (facility < 0) {
            detail::report("Invalid facility in target: " + name + " - \"" +
                           *settings.facility_name + "\"");
            return -1;
        }
    }
    if (!settings.ident_usable) {
        detail::report("Invalid ident in target: " + name + " - \"" + *settings.ident + "\"");
        return -1;
    }
    if (settings.ident != nullptr) {
        ident = *settings.ident;
    }
    // A socket that is not there yet is not fatal: the first record says
    // so, and the target connects when it appears.
    return 0;
}

bool SyslogLog::connect_socket() {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        close(fd);
        fd = -1;
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int err = errno;
        close(fd);
        fd = -1;
        errno = err;
        return false;
    }
    // A receiver that stops reading (stopped, or stuck on its disk) must not
    // hold the worker, and with it a flush, a stop or the exit, for ever.
    timeval wait{kSendWaitMs / 1000, (kSendWaitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    // What the kernel takes in one datagram on this socket, to cut a record
    // that is longer at once.
    int buffer = 0;
    socklen_t size = sizeof buffer;
    if (longest == 0 && getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, &size) == 0 && buffer > 64) {
        longest = static_cast<std::size_t>(buffer) - 32;
    }
    return true;
}

namespace {

// `length`, or less so that a cut there leaves no UTF-8 sequence in half:
// receivers drop or mangle a message that ends inside a character. Text
// that is not UTF-8 loses at most the three bytes looked at.
std::size_t whole_characters(const std::string& text, std::size_t length) {
    if (length >= text.size()) {
        return length;
    }
    std::size_t cut = length;
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) {
        --cut;
    }
    return (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80 ? length : cut;
}

// An empty datagram carrying `memfd`: the receiver reads the record from it.
ssize_t send_descriptor(int socket, int memfd, int flags) {
    msghdr header{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &memfd, sizeof(int));
    return sendmsg(socket, &header, flags);
}

}  // namespace

bool SyslogLog::send_record(std::string_view text, int level, std::int64_t time_us) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    // The record's own time, not the send's: records that waited behind a
    // slow receiver would otherwise all carry the moment the backlog cleared.
    const std::time_t when =
        time_us != 0 ? static_cast<std::time_t>(time_us / 1'000'000) : std::time(nullptr);
    std::tm local{};
    localtime_r(&when, &local);
    char head[64];
    int n = std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ",
                          facility * 8 + severity_of(level), kMonths[local.tm_mon % 12],
                          local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    datagram.assign(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    datagram += ident;
    datagram += '[';
    datagram += decimal(getpid());
    datagram += "]: ";
    datagram.append(text);
    return deliver(true) == Sent::kWhole;
}

SyslogLog::Sent SyslogLog::deliver(bool cut, int memfd) {
    std::size_t length = memfd >= 0 ? 0 : datagram.size();
    int flags = MSG_NOSIGNAL;
    if (stuck_since >= 0) {
        // A receiver that let a send time out is tried once a second, without
        // waiting; until one goes through, records are counted as lost.
        const std::int64_t now = detail::monotonic_ms();
        if (now < next_probe) {
            console_write_failed(kNotReading);
            return Sent::kFailed;
        }
        next_probe = now + kProbeEveryMs;
        flags |= MSG_DONTWAIT;
    }
    int err = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fd < 0 && !connect_socket()) {
            err = errno;
            break;
        }
        if (memfd < 0 && longest != 0 && length > longest) {
            if (!cut) {
                return Sent::kTooLong;
            }
            length = whole_characters(datagram, longest);
        }
        ssize_t sent = -1;
        while ((sent = memfd >= 0 ? send_descriptor(fd, memfd, flags)
                                  : send(fd, datagram.data(), length, flags)) < 0) {
            if (errno == EMSGSIZE && memfd < 0 && length > 1) {
                // Less room than the buffer size says: a cut halves until it
                // fits; without one, what did not fit takes the other way.
                if (!cut) {
                    longest = length - 1;
                    return Sent::kTooLong;
                }
                longest = length / 2;
                length = whole_characters(datagram, longest);
            } else if (errno != EINTR) {
                break;
            }
        }
        if (sent >= 0) {
            stuck_since = -1;
            if (memfd < 0 && length < datagram.size()) {
                detail::report_repeated(name, truncated_words);
            }
            return Sent::kWhole;
        }
        err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            // The send waited its time (or the probe found no room): the
            // connection is kept, the receiver counts as stuck.
            if (stuck_since < 0) {
                stuck_since = detail::monotonic_ms();
                next_probe = stuck_since + kProbeEveryMs;
            }
            console_write_failed(kNotReading);
            return Sent::kFailed;
        }
        close(fd);
        fd = -1;
        if (!receiver_gone(err)) {
            break;
        }
    }
    console_write_failed(error_text(err));
    return Sent::kFailed;
}

void SyslogLog::write_msg(Message* message) {
    try {
        if (send_record(message->text.view(), message->level, message->origin.time_us)) {
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
