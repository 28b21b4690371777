// What a record's Origin is made of, apart from the caller's source line.
#pragma once

#include <cstdint>
#include <string>

#include "Clock.h"
#include "zvk/Origin.h"

namespace zvk::detail {

// The one copy of `name` that records carry: the same pointer for equal
// names, valid until the process ends.
const char* intern_name(const std::string& name);

// The same for a call site's file or function name, which may lie in a
// shared object that is unloaded before its records are written. Null for
// null, and when no memory is left to keep a copy: the field is then
// absent rather than dangling.
const char* intern_site(const char* text) noexcept;

// `origin` with every string it points at replaced by the kept copy.
void intern_strings(Origin& origin) noexcept;

// The calling thread's kernel thread id, read once per thread.
int this_thread_id() noexcept;

// Each field `into` leaves blank (null, 0) taken from `from`.
void fill_blanks(Origin& into, const Origin& from) noexcept;

// What the handing thread knows: its id and the time, where blank.
void fill_here(Origin& origin) noexcept;

}  // namespace zvk::detail
