// The stamps of time_gmt and time_local, rendered from a per-thread cache:
// the date and time of a second are rendered once per thread and zone, and
// each stamp writes only its microseconds into them.
#pragma once

#include <cstddef>
#include <ctime>

namespace zvk {

class Vorn;

namespace detail {

// Room for any stamp stamp_at writes.
constexpr std::size_t kStampRoom = 128;

// Writes the stamp of `instant` in local time (`local`) or UTC into `out`
// (kStampRoom bytes): "MM-DD-YYYY HH:MM:SS.uuuuuu ZONE". Its length; 0
// when the instant cannot be rendered. Any thread; no lock but the C
// library's time-zone lock, taken for a local second not rendered yet.
std::size_t stamp_at(bool local, const std::timespec& instant, char* out);

// The same for now; 0 when the clock cannot be read.
std::size_t stamp_now(bool local, char* out);

// What handle.stamp() gives, written into `out` (kStampRoom bytes): its
// length; kOwnStamp when the handle stamps with a function of the
// application's own, which only stamp() calls.
constexpr std::size_t kOwnStamp = static_cast<std::size_t>(-1);
std::size_t handle_stamp(const Vorn& handle, char* out);

}  // namespace detail
}  // namespace zvk
