// The stamp in a rotated file's name: "MM-DD-YYYY_S", the local date and
// then the epoch seconds, which order the rotated files.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace zvk::detail {

// The stamp for `seconds`; empty when the local date cannot be had.
std::string stamp_at(std::time_t seconds);
// Whether `s` is a stamp as stamp_at writes it: a date this calendar has,
// "_", and the seconds in plain decimal (an optional "-", no leading zero).
bool is_stamp(std::string_view s);
// Epoch seconds of the stamp in a rotated path, found as the last "_" that
// follows a MM-DD-YYYY date and precedes an optional "-" and digits. The
// extension after the digits may be empty or absent.
bool stamp_seconds(std::string_view path, long long& seconds);

}  // namespace zvk::detail
