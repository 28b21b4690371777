#pragma once

#include <string>
#include <string_view>

#include "zvk/SyslogLog.h"
#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

namespace detail {
struct TargetAccess;
}

/// A target that sends each record to journald in its native protocol, one
/// datagram a record with fields a query can select on:
/// - `MESSAGE`: the text without its final line end
/// - `PRIORITY`: the syslog severity of the level: FATAL 2, ERROR 3, WARN 4,
///   AUDIT and OUT 5, INFO 6, TRACE and DEBUG 7
/// - `SYSLOG_IDENTIFIER`: `<ident>`, default the program's name
/// - `SYSLOG_FACILITY`: `<facility>`, as a number
/// - `TID`: the kernel id of the thread that handed it over
/// - `VORN_LOGGER`: the logger's name
/// - `CODE_FILE`, `CODE_LINE`, `CODE_FUNC`: where VORN_LOG was used
///
/// A value with a line end goes in the protocol's binary form; a record
/// larger than the socket takes goes in a sealed memory file passed with
/// the datagram, beyond the process's file-size limit where needed (a
/// short-lived child process writes what the soft limit keeps out). Where
/// the hard limit too is below the entry, MESSAGE is cut to fit and marked
/// " [cut at the file size limit]", and the record is counted as a write
/// failure. Receiver failures are handled as by the syslog target:
/// reported once, counted, reconnected. Without `<socket>`, on a machine
/// without journald's socket, the target says so at start and sends to
/// /dev/log in the syslog format instead.
class ZVK_VORN_API JournalLog : public SyslogLog {
public:
    /// A stopped journal target for the record `name`, sending to
    /// journald's socket unless init decides otherwise.
    explicit JournalLog(const std::string& name);
    /// Writes what was accepted, then closes the socket.
    ~JournalLog() override;

    /// Sends the record as one entry (in the syslog format with the
    /// fallback).
    void write_msg(Message* message) override;
    /// As SyslogLog's, and picks the syslog fallback when journald's socket
    /// is missing and none was configured.
    int init(const VornConfig* config) override;

private:
    friend struct detail::TargetAccess;

    // Puts the entry of `message` in the native protocol, as it is sent,
    // in `out`.
    static void build_entry(std::string& out, const Message& message, const std::string& ident,
                            int facility);
    // Set by init when the target sends to /dev/log in the syslog format.
    bool syslog_fallback = false;
    // The same with `text` as MESSAGE.
    static void build_entry(std::string& out, const Message& message, std::string_view text,
                            const std::string& ident, int facility);
    bool send_entry(const Message& message);
    // The entry in a sealed memory file, for one the socket does not take.
    bool send_in_memfd(const Message& message);
    // Writes the entry into `memfd`, beyond the process's file-size limit
    // where needed: 0, or the error.
    int fill_memfd(int memfd);
    // Builds the entry again with MESSAGE cut (after a whole character,
    // and marked) so that it fits the process's file-size limit; false
    // when even the other fields do not.
    bool cut_to_limit(const Message& message);
    bool sent_cut = false;  // the last entry went cut: counted, not a success
};

}  // namespace zvk
