#include "Origins.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>

namespace zvk::detail {

namespace {

// Like the service, the table lives as long as the process: workers write
// queued records, names and all, until the very end of exit. It holds one
// string per distinct logger name, source file and function. Namespace
// scope and constant-initialised, as everything on the hand-over path:
// a function-local static being initialised by another thread at a fork
// would leave its guard held in the child, whose first record would wait
// for ever.
constinit std::mutex intern_mutex;
std::unordered_set<std::string>* kept_texts = nullptr;  // guarded by intern_mutex

const char* intern(std::string_view text) {
    std::lock_guard lock(intern_mutex);
    if (kept_texts == nullptr) {
        kept_texts = new std::unordered_set<std::string>();
    }
    // Nodes do not move when the set grows.
    return kept_texts->emplace(text).first->c_str();
}

thread_local int cached_thread_id = 0;

// The table's mutex is held across a fork, after the service's locks
// (handlers registered first run their preparation last): a thread
// interning a call site at the fork must not leave it held in the child.
void before_fork() { intern_mutex.lock(); }
void after_fork_in_parent() { intern_mutex.unlock(); }
void after_fork_in_child() {
    intern_mutex.unlock();
    // The thread that forks goes on in the child with an id of its own.
    cached_thread_id = 0;
}

// As the library loads, before any thread of its own exists.
[[maybe_unused]] const bool fork_hooked =
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;

// Each thread remembers which kept copy the call sites it logged from
// had, so that a record costs a comparison of its strings, not the lock.
// The caller's pointer alone cannot tell: a shared object loaded where an
// unloaded one was may put other text at the same address.
struct SiteCache {
    static constexpr std::size_t kSlots = 64;
    struct Slot {
        const char* seen = nullptr;  // the caller's pointer; never read through
        const char* kept = nullptr;  // interned, valid for ever
    };
    Slot slots[kSlots];
};
thread_local SiteCache site_cache;

}  // namespace

const char* intern_name(const std::string& name) { return intern(name); }

const char* intern_site(const char* text) noexcept {
    if (text == nullptr) {
        return nullptr;
    }
    const auto bits = reinterpret_cast<std::uintptr_t>(text);
    SiteCache::Slot& slot = site_cache.slots[(bits ^ (bits >> 6)) % SiteCache::kSlots];
    if (slot.seen == text && slot.kept != nullptr && std::strcmp(text, slot.kept) == 0) {
        return slot.kept;
    }
    try {
        const char* kept = intern(text);
        slot.seen = text;
        slot.kept = kept;
        return kept;
    } catch (...) {
        return nullptr;
    }
}

void intern_strings(Origin& origin) noexcept {
    if (origin.logger != nullptr) {
        origin.logger = intern_site(origin.logger);
    }
    origin.file = intern_site(origin.file);
    origin.func = intern_site(origin.func);
}

int this_thread_id() noexcept {
    if (cached_thread_id == 0) [[unlikely]] {
        cached_thread_id = static_cast<int>(::syscall(SYS_gettid));
    }
    return cached_thread_id;
}

void fill_blanks(Origin& into, const Origin& from) noexcept {
    if (into.logger == nullptr) {
        into.logger = from.logger;
    }
    if (into.file == nullptr && into.func == nullptr && into.line == 0) {
        into.file = from.file;
        into.func = from.func;
        into.line = from.line;
    }
    if (into.thread == 0) {
        into.thread = from.thread;
    }
    if (into.time_us == 0) {
        into.time_us = from.time_us;
    }
}

void fill_here(Origin& origin) noexcept {
    if (origin.thread == 0) {
        origin.thread = this_thread_id();
    }
    if (origin.time_us == 0) {
        origin.time_us = wall_clock_us();
    }
}

}  // namespace zvk::detail
