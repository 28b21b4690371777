// A target type of the application's own: appends each record's text to
// one file with a write(2) call, and makes what it wrote durable
// (fdatasync) at a tick, at most about 100 ms after a write, instead of
// once a record.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "zvk/Message.h"
#include "zvk/Target.h"

class SyncedFileTarget : public zvk::Target {
public:
    SyncedFileTarget(const std::string& name, std::string path)
        : Target(name, CUSTOM_TARGET), path(std::move(path)) {}

    // Until shutdown() returns, the worker may be inside write_msg or
    // tick, which use `fd`.
    ~SyncedFileTarget() override {
        shutdown();
        if (fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
    }

    // On the thread that starts the target, before its worker exists.
    int init(const zvk::VornConfig*) override {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return fd >= 0 ? 0 : -1;
    }

    // On the worker, with no lock held (at process exit: on the thread
    // that logs). Every record ends with retire, however the write went.
    void write_msg(zvk::Message* message) override {
        const bool written = write_all(message->text.view());
        const int error = errno;
        retire(message);
        if (!written) {
            console_write_failed(std::strerror(error));
            return;
        }
        write_succeeded();
        unsynced = true;
    }

    // How many times tick made the file durable.
    std::uint64_t syncs() const { return synced.load(std::memory_order_relaxed); }

protected:
    bool ticks() const noexcept override { return true; }

    // On the worker, with no lock held: about every 100 ms while records
    // are written, and once more after the last. -1: no tick is due until
    // records are written again.
    std::int64_t tick() noexcept override {
        if (unsynced && ::fdatasync(fd) == 0) {
            unsynced = false;
            synced.fetch_add(1, std::memory_order_relaxed);
        }
        return -1;
    }

private:
    bool write_all(std::string_view text) {
        while (!text.empty()) {
            const ssize_t written = ::write(fd, text.data(), text.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            text.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }

    std::string path;
    int fd = -1;
    bool unsynced = false;  // the worker's own
    std::atomic<std::uint64_t> synced{0};
};
