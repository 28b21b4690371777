#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zvk/Target.h"
#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

namespace detail {
struct TargetAccess;
}

/// A target that sends each record to a local syslog socket (on a systemd
/// machine /dev/log is journald's, elsewhere rsyslog's) from its own
/// worker, one datagram a record in the format syslog(3) uses:
/// ```
/// <PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT
/// ```
/// with the record's final line end removed. The ident and facility belong
/// to the target alone: nothing process-wide (openlog) is touched. A missing
/// socket or a refused send does not stop the target: it reports once,
/// counts what it cannot deliver, and connects again by itself when the
/// socket is back. A receiver that does not keep up makes the worker wait,
/// so the target's queue_max / when_full policy applies; one that takes
/// nothing for a second counts as stuck: records are counted as lost
/// without waiting, and it is tried again once a second.
class ZVK_VORN_API SyslogLog : public Target {
public:
    /// The code of a facility name: "user" 1, "daemon" 3, "local0" ...
    /// "local7" 16 ... 23; -1 for any other text.
    static int facility_from(std::string_view name);

    /// A stopped syslog target for the record `name`, sending to /dev/log
    /// until init reads the record.
    explicit SyslogLog(const std::string& name);
    /// Writes what was accepted, then closes the socket.
    ~SyslogLog() override;

    /// Sends the record as one datagram, cut to what the socket takes.
    void write_msg(Message* message) override;
    /// Reads `<socket>`, `<facility>` and `<ident>`; -1 (with a line naming
    /// the target and the value) for an unknown facility or an unusable ident.
    int init(const VornConfig* config) override;

private:
    friend struct detail::TargetAccess;
    // The journal target sends its entries through this one's socket.
    friend class JournalLog;

    // What deliver did with a datagram.
    enum class Sent {
        kWhole,   // sent whole (or cut to fit, when asked)
        kFailed,  // not sent; reported and counted
        kTooLong  // not sent: longer than the socket takes
    };

    // The syslog severity of a record's level: FATAL crit (2), ERROR err
    // (3), WARN warning (4), AUDIT and OUT notice (5), INFO info (6), TRACE
    // and DEBUG debug (7).
    static int severity_of(int level);
    // The program's short name as ps shows it.
    static std::string program_name();

    // For a type that sends another format to a datagram socket.
    SyslogLog(const std::string& name, Type type, std::string socket);
    // Sends one record in the syslog format, stamped with `time_us` (µs
    // since 1970 UTC; 0: now); false (reported and counted) when it could
    // not be delivered.
    bool send_record(std::string_view text, int level, std::int64_t time_us);
    // Sends `datagram`, connecting (again) where needed, or with `memfd`
    // >= 0 an empty datagram passing that descriptor instead. `cut`: a
    // datagram the socket does not take is cut to fit (at a character's
    // end); without it, kTooLong says so and nothing was sent. kFailed has
    // been reported and counted.
    Sent deliver(bool cut, int memfd = -1);
    bool connect_socket();

    std::string socket_path;  // default "/dev/log"
    int facility;             // default user (1)
    std::string ident;        // default program_name()
    // The writer's own: the datagram being built.
    std::string datagram;

    int fd;
    // The longest datagram the socket takes (0: not known yet).
    std::size_t longest;
    // Since when (monotonic ms) the receiver takes nothing: a send waited
    // its whole time; -1 while it reads. Then the next probe is due at
    // `next_probe`.
    std::int64_t stuck_since = -1;
    std::int64_t next_probe = 0;
    static constexpr const char* kNotReading = "the receiver does not read";
};

}  // namespace zvk
