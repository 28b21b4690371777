/// \file
/// The application's log handle zvk::Vorn and the VORN_LOG macro.
#pragma once

#include <cstddef>
#include <ctime>
#include <sstream>
#include <string>
#include <string_view>

#include "zvk/Logger.h"
#include "zvk/VornExport.h"

// The level names are common macro names (-DDEBUG, -DERROR): what is
// declared here sees them as plain names, and the program's macros return
// before VORN_LOG.
#pragma push_macro("OUT")
#undef OUT
#pragma push_macro("FATAL")
#undef FATAL
#pragma push_macro("ERROR")
#undef ERROR
#pragma push_macro("WARN")
#undef WARN
#pragma push_macro("AUDIT")
#undef AUDIT
#pragma push_macro("INFO")
#undef INFO
#pragma push_macro("TRACE")
#undef TRACE
#pragma push_macro("DEBUG")
#undef DEBUG

namespace zvk {

class Target;

/// The application's log handle, bound at construction to one named logger.
/// `logable` filters, `log` hands over a composed record; the library adds
/// nothing to the text. The handle owns nothing and is cheap to move.
/// A handle stays valid for the life of the process: through reloads,
/// re-initialisations and stops it follows whatever configuration runs.
class ZVK_VORN_API Vorn {
public:
    /// The levels, from the most severe to the most verbose. A logger
    /// configured at a level passes it and every level before it; OUT
    /// passes at every configured level.
    enum Level { OUT, FATAL, ERROR, WARN, AUDIT, INFO, TRACE, DEBUG };

    /// Now in UTC, as records are stamped: `12-06-2026 15:04:11.000250 GMT`
    /// (month, day, year, microseconds). Empty when the clock cannot be read.
    static std::string time_gmt();
    /// The same for `instant`; "" when tv_nsec is outside [0, 999999999].
    static std::string time_gmt_at(const std::timespec& instant);
    /// The same layout in the local time zone, ending in the zone's
    /// abbreviation as the zone data spells it.
    static std::string time_local();
    /// Now in UTC in the layout of HTTP dates, with day and month names of
    /// the C library's current locale: `Fri, 12 Jun 2026 15:04:11 GMT`.
    static std::string http_gmt_time();
    /// Now in UTC, as the current locale writes a date and time.
    static std::string time_gmt_format();
    /// Now in the local time zone, as the current locale writes a date and
    /// time.
    static std::string time_local_format();
    /// Now in UTC, formatted by strftime(3) with `format`; empty when the
    /// result is empty or longer than 127 characters.
    static std::string time_gmt_format(const std::string& format);
    /// The same for `seconds` since 1970 UTC.
    static std::string time_gmt_format(const std::string& format, std::time_t seconds);
    /// Now in the local time zone, formatted as by time_gmt_format(format).
    static std::string time_local_format(const std::string& format);
    /// "OUT" ... "DEBUG"; "" for a value outside the levels.
    static std::string_view level_name(int level);

    /// A handle bound to no logger: logable is false for every level and
    /// log does nothing.
    Vorn();
    /// The handle of the logger `name`, starting the service (which loads
    /// its configuration) on first use. A name the running configuration
    /// lacks still makes a handle, which logs once a reload adds it.
    ///
    /// `owner_id` reserves a logger for one part of a program: 0 (the
    /// default) shares it with every handle. A name first asked for with
    /// an id other than 0 belongs to that id: a handle asked for with
    /// another id, 0 included, gets no logger and logs nothing.
    Vorn(const std::string& name, long owner_id = 0);
    /// Takes over `other`'s logger; `other` is left bound to none.
    Vorn(Vorn&& other);
    /// Takes over `other`'s logger; `other` is left bound to none. A
    /// self-move changes nothing.
    Vorn& operator=(Vorn&& other);
    Vorn(const Vorn&) = delete;
    Vorn& operator=(const Vorn&) = delete;
    virtual ~Vorn();

    /// The library's version, "1.0.0".
    std::string_view version() const;
    /// Whether a record of level `lvl` passes now. A handle the service
    /// made follows its logger's configuration as it is now; one whose
    /// fields the application set compares them. Any thread; one relaxed
    /// atomic load.
    bool logable(Level lvl) const {
        if (route != nullptr) {
            return lvl <= route->accepts.load(std::memory_order_relaxed);
        }
        return logger != nullptr && (lvl == OUT || level >= lvl);
    }
    /// Queues the record without a level check; the target owns it from
    /// here. Without a logger `text` is left untouched.
    void log(std::ostringstream&& text, Level lvl) const;
    /// The same, for VORN_LOG: `file`, `line` and `func` say where it was
    /// used, for targets that write them. The record carries the library's
    /// own copies of the strings: the caller may be unloaded meanwhile.
    void log(std::ostringstream&& text, Level lvl, const char* file, int line,
             const char* func) const;
    /// Queues a copy of `text` as one record, for VORN_LOGF (file, line
    /// and func as for VORN_LOG); the caller keeps `text`. No level check.
    void log(std::string_view text, Level lvl, const char* file = nullptr, int line = 0,
             const char* func = nullptr) const;
    /// Waits until every record this handle's target accepted before the
    /// call is written: 0; -1 when they cannot be. 0 without a logger.
    int flush() const;
    /// The stamp of the running configuration's time zone (time_gmt or
    /// time_local); a stamp_function of the application's own is kept.
    std::string stamp() const;
    /// Writes what stamp() gives into `out`, which has `room` bytes: its
    /// length, 0 when it does not fit (128 bytes hold the library's own).
    std::size_t stamp(char* out, std::size_t room) const;

    /// The text of one VORN_LOG statement, begun with the handle's stamp
    /// and level word: a stream of the calling thread's own, reused, in the
    /// state a new stream would have (the global locale as it is now
    /// included). A statement inside another one's operator<< gets a
    /// stream of its own. For VORN_LOG; one statement at a time, on the
    /// thread that made it.
    class ZVK_VORN_API Statement {
    public:
        /// Writes `handle`'s stamp, a blank, `level_word` and a blank.
        Statement(const Vorn& handle, std::string_view level_word);
        /// Gives the stream back to the thread; text not handed over is
        /// dropped.
        ~Statement();
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        /// The stream to compose in and to hand to log.
        std::ostringstream& text() { return *stream; }

    private:
        void release() noexcept;

        // The thread's stream, or after the thread's streams were
        // destroyed at its exit one of this statement's own (`owned`).
        std::ostringstream* stream;
        bool owned;
    };

    int level;       ///< The logger's level when the handle was made.
    Logger* logger;  ///< Its logger when it was made (not owned); null: none then.
    /// What stamp calls: time_gmt or time_local, which stand for the running
    /// configuration's time zone, or a function of the application's own.
    std::string (*stamp_function)();

private:
    // The service's Logger of the handle's name, which lives as long as the
    // process and is routed by whatever configuration runs; null for a
    // handle the service did not make.
    Logger* route;
    // The target a record goes to now.
    Target* target_now() const;
};

/// The levels as VORN_LOG spells them: it pastes `as_` to the name it is
/// given, which keeps a macro of the program called like a level (DEBUG,
/// ERROR) from replacing it.
namespace vorn_level {
inline constexpr Vorn::Level as_OUT = Vorn::OUT;      ///< Vorn::OUT
inline constexpr Vorn::Level as_FATAL = Vorn::FATAL;  ///< Vorn::FATAL
inline constexpr Vorn::Level as_ERROR = Vorn::ERROR;  ///< Vorn::ERROR
inline constexpr Vorn::Level as_WARN = Vorn::WARN;    ///< Vorn::WARN
inline constexpr Vorn::Level as_AUDIT = Vorn::AUDIT;  ///< Vorn::AUDIT
inline constexpr Vorn::Level as_INFO = Vorn::INFO;    ///< Vorn::INFO
inline constexpr Vorn::Level as_TRACE = Vorn::TRACE;  ///< Vorn::TRACE
inline constexpr Vorn::Level as_DEBUG = Vorn::DEBUG;  ///< Vorn::DEBUG
}  // namespace vorn_level

}  // namespace zvk

#pragma pop_macro("OUT")
#pragma pop_macro("FATAL")
#pragma pop_macro("ERROR")
#pragma pop_macro("WARN")
#pragma pop_macro("AUDIT")
#pragma pop_macro("INFO")
#pragma pop_macro("TRACE")
#pragma pop_macro("DEBUG")

/// Filters, composes `"<stamp> <LEVEL> <text>\n"` and hands it over in one
/// statement; with the level filtered out only the level test runs.
/// ```
/// VORN_LOG(handle, WARN, "disk at " << pct << "%");
/// ```
#define VORN_LOG(handle, lvl, ...)                                                                 \
    do {                                                                                           \
        const ::zvk::Vorn& zvk_log_handle = (handle);                                              \
        if (zvk_log_handle.logable(::zvk::vorn_level::as_##lvl)) {                                 \
            ::zvk::Vorn::Statement zvk_log_statement(zvk_log_handle, #lvl);                        \
            zvk_log_statement.text() << __VA_ARGS__ << '\n';                                       \
            zvk_log_handle.log(::std::move(zvk_log_statement.text()), ::zvk::vorn_level::as_##lvl, \
                               __FILE__, __LINE__, __func__);                                      \
        }                                                                                          \
    } while (0)
