// An application's use of every member the target headers keep for it: a
// target type of its own, and the library's targets as it may drive them.
#include <sstream>
#include <string>
#include <type_traits>

#include "zvk/FileLog.h"
#include "zvk/JournalLog.h"
#include "zvk/SyslogLog.h"
#include "zvk/Target.h"

namespace {

class OwnTarget : public zvk::Target {
public:
    explicit OwnTarget(const std::string& name) : Target(name, CONSOLE_TARGET) {}
    ~OwnTarget() override { shutdown(); }

    void write_msg(zvk::Message* message) override {
        try {
            write_succeeded();
        } catch (const std::exception& e) {
            report_write_exception(&e);
            console_write_failed("reason");
        }
        retire(message);
    }
    int init(const zvk::VornConfig* config) override { return Target::init(config); }

protected:
    bool ticks() const noexcept override { return true; }
    std::int64_t tick() noexcept override { return Target::tick(); }
};

[[maybe_unused]] void use_target(const zvk::VornConfig* config) {
    OwnTarget target("own");
    target.set_queue_bound(8, true);
    target.set_queue_memory_max(1 << 20);
    target.set_format(zvk::Target::JSON_LINES);
    target.start(config);
    target.log(static_cast<zvk::Message*>(nullptr));
    target.log(std::ostringstream("a"), 6);
    target.log(std::ostringstream("b"), 6, zvk::Origin{});
    target.flush();
    target.stop();
    target.reset_state(zvk::Target::STOPPED);
    {
        std::lock_guard lock(target.mutex);
        [[maybe_unused]] auto& queue = target.queue;
        [[maybe_unused]] bool waiting = queue.empty();
        [[maybe_unused]] bool running = target.state == zvk::Target::RUNNING;
        [[maybe_unused]] bool stopping = target.stop_requested.load();
        target.cond.notify_all();
    }
    [[maybe_unused]] const std::string& name = target.name;
    [[maybe_unused]] zvk::Target::Type type = target.type;
    [[maybe_unused]] void (zvk::Target::*body)() = &zvk::Target::receive_message;
    for (zvk::Target::State state : {zvk::Target::STARTING, zvk::Target::DRAINING,
                                     zvk::Target::WRITING_INLINE, zvk::Target::FORKED}) {
        (void)state;
    }
    for (zvk::Target::Type kind :
         {zvk::Target::FILE_TARGET, zvk::Target::SYSLOG_TARGET, zvk::Target::JOURNAL_TARGET}) {
        (void)kind;
    }
    (void)zvk::Target::TEXT_LINES;
}

[[maybe_unused]] void use_file(const zvk::VornConfig* config) {
    zvk::FileLog file("file");
    file.init(config);
    file.write_msg(nullptr);
    [[maybe_unused]] std::string stamp = file.loc_time_us();
    file.process_file_retention(nullptr);
    file.delete_file("path");
    file.rotate_file();
    [[maybe_unused]] void (*handler)(int, siginfo_t*, void*) = &zvk::FileLog::handler;
    [[maybe_unused]] int fd = file.fd;
    [[maybe_unused]] std::int64_t max_files = file.max_files;
    [[maybe_unused]] bool none = file.rotated_files.empty();
    [[maybe_unused]] std::uint64_t length = file.rotated_name_len;
    for (const std::string* text : {&file.file_path, &file.log_dir, &file.file_name,
                                    &file.rotated_prefix, &file.base_name, &file.file_ext}) {
        (void)text;
    }
}

[[maybe_unused]] void use_sockets(const zvk::VornConfig* config) {
    zvk::SyslogLog syslog("sys");
    syslog.init(config);
    syslog.write_msg(nullptr);
    zvk::JournalLog journal("jr");
    journal.init(config);
    journal.write_msg(nullptr);
    static_assert(std::has_virtual_destructor_v<zvk::Target>);
}

}  // namespace
