#include "ConfigWatch.h"

#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "../config/Settings.h"
#include "../platform/LibraryThread.h"
#include "Service.h"
#include "zvk/VornService.h"

namespace zvk::detail {

namespace {

// Shared by the service and its thread, which may outlive a stop for a
// moment: it ends once it sees `ended`.
struct Watch {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
    std::uint64_t seconds = 0;
    std::string path;
    FileVersion seen;
};

// The watch of the running configuration; guarded by the registry mutex.
std::shared_ptr<Watch>& current() {
    static auto* watch = new std::shared_ptr<Watch>();  // outlives every static
    return *watch;
}

void run(const std::shared_ptr<Watch>& watch) {
    for (;;) {
        std::string path;
        FileVersion seen;
        {
            std::unique_lock lock(watch->mutex);
            watch->changed.wait_for(lock, std::chrono::seconds(watch->seconds),
                                    [&] { return watch->ended; });
            if (watch->ended) {
                return;
            }
            path = watch->path;
            seen = watch->seen;
        }
        const FileVersion now = version_of(path);
        if (now == seen) {
            continue;
        }
        VornService* service = VornService::get_service();
        // Every end of the watch comes from a load or a stop, which hold
        // this too: a watch found running here stays so until the reload.
        std::lock_guard applying(ServiceAccess::routing(*service).apply_mutex);
        {
            std::lock_guard lock(watch->mutex);
            if (watch->ended) {
                return;
            }
            // A file that does not load is not tried again until it changes.
            watch->seen = now;
        }
        reload_applying(*service);
    }
}

}  // namespace

FileVersion version_of(const std::string& path) {
    struct stat st {};
    FileVersion version;
    if (stat(path.c_str(), &st) != 0) {
        return version;
    }
    version.exists = true;
    version.device = st.st_dev;
    version.inode = st.st_ino;
    version.size = st.st_size;
    version.mtime_ns =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return version;
}

void watch_config(std::uint64_t seconds, const std::string& path, const FileVersion& loaded) {
    std::shared_ptr<Watch>& watch = current();
    if (seconds == 0 || path.empty()) {
        end_config_watch();
        return;
    }
    if (watch != nullptr) {
        std::lock_guard lock(watch->mutex);
        watch->seconds = seconds;
        watch->path = path;
        watch->seen = loaded;
        watch->changed.notify_all();
        return;
    }
    auto fresh = std::make_shared<Watch>();
    fresh->seconds = seconds;
    fresh->path = path;
    fresh->seen = loaded;
    try {
        // Not joined: a stop may come from the thread's own reload.
        std::thread thread = library_thread([fresh] { run(fresh); });
        // Named, so that ps and a debugger tell it from the application's.
        pthread_setname_np(thread.native_handle(), "vorn-watch");
        thread.detach();
        watch = std::move(fresh);
    } catch (...) {
        // No thread: the file is not watched.
    }
}

void end_config_watch() {
    std::shared_ptr<Watch>& watch = current();
    if (watch == nullptr) {
        return;
    }
    {
        std::lock_guard lock(watch->mutex);
        watch->ended = true;
    }
    watch->changed.notify_all();
    watch.reset();
}

void forget_config_watch() {
    // The parent's thread may have held the watch's mutex at the fork: the
    // child's copy is left alone, not released.
    new (&current()) std::shared_ptr<Watch>();
}

}  // namespace zvk::detail
