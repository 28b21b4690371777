// The syslog and journal targets' sockets, buffers and entry building:
// their writers' own, out of an application's reach.
#include <string>

#include "zvk/JournalLog.h"
#include "zvk/SyslogLog.h"

namespace {

class OwnSyslog : public zvk::SyslogLog {
public:
    OwnSyslog() : SyslogLog("own", SYSLOG_TARGET, "/dev/log") {}  // hidden
    void reach() {
        (void)deliver(false);             // hidden
        (void)send_record("text", 6, 0);  // hidden
        datagram.clear();                 // hidden
    }
};

[[maybe_unused]] void reach(zvk::SyslogLog& syslog, zvk::JournalLog& journal) {
    (void)syslog.socket_path;              // hidden
    (void)syslog.facility;                 // hidden
    (void)syslog.ident;                    // hidden
    (void)zvk::SyslogLog::severity_of(6);  // hidden
    (void)zvk::SyslogLog::program_name();  // hidden
    (void)journal.syslog_fallback;         // hidden
    std::string entry;
    zvk::JournalLog::build_entry(entry, *static_cast<zvk::Message*>(nullptr), "id", 1);  // hidden
}

}  // namespace
