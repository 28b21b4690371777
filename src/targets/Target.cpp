#include "zvk/Target.h"

#include <memory>

#include "../config/Settings.h"
#include "../frontend/MessageCache.h"
#include "Carrier.h"
#include "ConsoleWriting.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"

namespace zvk {

using detail::MessageCache;

std::size_t Target::queue_max_from(const std::string& text) { return detail::queue_max(text); }

Target::Target(const std::string& name, Type type)
    : name(name),
      type(type),
      state(STOPPED),
      stop_requested(false),
      carrier(std::make_unique<detail::Carrier>(*this)),
      console(std::make_unique<detail::ConsoleWriting>(this->name)) {}

Target::~Target() { shutdown(); }

int Target::init(const VornConfig* config) {
    // Only for its exception: an unknown locale name must fail the start.
    if (config != nullptr) {
        config->get_locale();
    }
    return 0;
}

int Target::start(const VornConfig* config) { return carrier->start(config); }

int Target::stop() { return carrier->stop(); }

void Target::set_queue_bound(std::size_t max_records, bool drop_when_full) {
    carrier->set_bound(max_records, drop_when_full);
}

void Target::set_queue_memory_max(std::size_t max_bytes) { carrier->set_memory_bound(max_bytes); }

void Target::set_format(Format format) { carrier->set_format(format); }

int Target::flush() { return carrier->flush(); }

void Target::reset_state(State new_state) { carrier->reset_state(new_state); }

void Target::receive_message() { carrier->run_worker(); }

void Target::drop_after_fork() { carrier->drop_after_fork(); }

void Target::stop_for_exit() {
    carrier->stop_for_exit();
    exiting();
}

void Target::exiting() noexcept {}

void Target::retire(Message* message) noexcept {
    MessageCache* cache = MessageCache::local();
    if (cache == nullptr || cache->full() || !MessageCache::reusable(message)) {
        delete message;
        return;
    }
    cache->put(message);
}

void Target::shutdown() { carrier->shutdown(); }

void Target::run_progress(std::size_t sent, std::size_t in_flight,
                          std::int64_t size_before) noexcept {
    carrier->run_progress(sent, in_flight, size_before);
}

void Target::set_crash_fd(int fd) noexcept { carrier->set_crash_fd(fd); }

}  // namespace zvk
