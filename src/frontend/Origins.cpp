#include "Origins.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

namespace zvk::detail {

const char* intern_name(const std::string& name) {
    static std::mutex mutex;
    // Like the service, the table lives as long as the process: workers
    // write queued records, names and all, until the very end of exit. It
    // holds one string per distinct logger name.
    static auto* names = new std::unordered_set<std::string>();
    std::lock_guard lock(mutex);
    // Nodes do not move when the set grows.
    return names->insert(name).first->c_str();
}

namespace {

thread_local int cached_thread_id = 0;

// The thread that forks goes on in the child with an id of its own.
void forget_thread_id() { cached_thread_id = 0; }

}  // namespace

int this_thread_id() noexcept {
    if (cached_thread_id == 0) [[unlikely]] {
        static const bool hooked = pthread_atfork(nullptr, nullptr, &forget_thread_id) == 0;
        (void)hooked;
        cached_thread_id = static_cast<int>(::syscall(SYS_gettid));
    }
    return cached_thread_id;
}

std::int64_t wall_clock_us() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
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
