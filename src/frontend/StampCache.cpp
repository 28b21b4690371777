#include "StampCache.h"

#include <time.h>

#include <cstring>
#include <string>

#include "zvk/Vorn.h"

namespace zvk::detail {

namespace {

constexpr std::size_t DateTimeLength = 19;  // "MM-DD-YYYY HH:MM:SS", %Y of 4 digits
constexpr std::size_t MicrosLength = 6;

// What tzset leaves in the C library's globals for the local zone: a
// program that sets TZ and calls tzset within a second gets the new zone
// at once, as localtime_r per stamp gave it. tzset writes them under the
// C library's time-zone lock, which reading them here does not take: each
// is read as one atomic word, and a change seen late or torn between them
// only renders the second again (the names are interned by the C library
// and never freed, so equal pointers mean equal names).
struct ZoneState {
    const char* standard;
    const char* summer;
    long offset;
    int has_summer;

    static ZoneState now() {
        return {__atomic_load_n(&tzname[0], __ATOMIC_RELAXED),
                __atomic_load_n(&tzname[1], __ATOMIC_RELAXED),
                __atomic_load_n(&timezone, __ATOMIC_RELAXED),
                __atomic_load_n(&daylight, __ATOMIC_RELAXED)};
    }
    bool operator==(const ZoneState&) const = default;
};

// One zone's second as rendered last on this thread: the text before the
// point and after the microseconds. Keyed by the second alone, so that a
// clock stepped either way, or any other second, renders again.
struct RenderedSecond {
    bool valid = false;
    std::time_t second = 0;
    ZoneState zone{};
    std::size_t head_length = 0;  // up to the point
    std::size_t tail_length = 0;  // the blank and the zone
    char head[kStampRoom / 2];
    char tail[kStampRoom / 2];
};

// [0]: UTC, [1]: local time. Plain data: nothing to destroy at thread exit.
thread_local RenderedSecond rendered[2];

// Splits a whole stamp, as the uncached functions render it, around its
// microseconds.
bool keep(RenderedSecond& slot, std::time_t second, const std::string& whole) {
    const std::size_t point = whole.find('.');
    if (point == std::string::npos || whole.size() < point + 1 + MicrosLength ||
        point + 1 > sizeof slot.head ||
        whole.size() - point - 1 - MicrosLength > sizeof slot.tail) {
        return false;
    }
    slot.head_length = point + 1;
    std::memcpy(slot.head, whole.data(), slot.head_length);
    slot.tail_length = whole.size() - slot.head_length - MicrosLength;
    std::memcpy(slot.tail, whole.data() + slot.head_length + MicrosLength, slot.tail_length);
    slot.second = second;
    slot.valid = true;
    return true;
}

// localtime_r takes the time-zone lock; strftime's %Z keeps local zone
// names exactly as the zone data spells them.
std::string local_whole(std::time_t second) {
    std::tm calendar{};
    if (localtime_r(&second, &calendar) == nullptr) {
        return {};
    }
    char buffer[96];
    const std::size_t length =
        std::strftime(buffer, sizeof buffer, "%m-%d-%Y %H:%M:%S %Z", &calendar);
    if (length < DateTimeLength) {
        return {};
    }
    std::string whole(buffer, DateTimeLength);
    whole.append(".000000");
    whole.append(buffer + DateTimeLength, length - DateTimeLength);
    return whole;
}

}  // namespace

std::size_t stamp_at(bool local, const std::timespec& instant, char* out) {
    if (instant.tv_nsec < 0 || instant.tv_nsec >= 1000000000) {
        return 0;
    }
    RenderedSecond& slot = rendered[local ? 1 : 0];
    const ZoneState zone = local ? ZoneState::now() : ZoneState{};
    if (!slot.valid || slot.second != instant.tv_sec || !(slot.zone == zone)) {
        const std::string whole = local ? local_whole(instant.tv_sec)
                                        : Vorn::time_gmt_at(std::timespec{instant.tv_sec, 0});
        // Read again after rendering: localtime_r may have run tzset for
        // the first time.
        slot.zone = local ? ZoneState::now() : ZoneState{};
        if (!keep(slot, instant.tv_sec, whole)) {
            slot.valid = false;
            return 0;
        }
    }
    std::memcpy(out, slot.head, slot.head_length);
    char* micros = out + slot.head_length;
    long value = instant.tv_nsec / 1000;
    for (int i = MicrosLength - 1; i >= 0; --i) {
        micros[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    std::memcpy(micros + MicrosLength, slot.tail, slot.tail_length);
    return slot.head_length + MicrosLength + slot.tail_length;
}

std::size_t stamp_now(bool local, char* out) {
    std::timespec now{};
    if (std::timespec_get(&now, TIME_UTC) != TIME_UTC) {
        return 0;
    }
    return stamp_at(local, now, out);
}

}  // namespace zvk::detail
