#include "zvk/CaptureTarget.h"

#include <exception>
#include <utility>

#include "zvk/Message.h"

namespace zvk {

namespace {

std::string text_of(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

CaptureTarget::CaptureTarget(const std::string& name) : Target(name, CUSTOM_TARGET) {}

// Until shutdown returns the worker may be inside write_msg, which uses
// the members released after this body.
CaptureTarget::~CaptureTarget() { shutdown(); }

void CaptureTarget::write_msg(Message* message) {
    try {
        const Origin& origin = message->origin;
        Record record{message->text.str(),  message->level,       text_of(origin.logger),
                      text_of(origin.file), text_of(origin.func), origin.line,
                      origin.thread};
        {
            std::lock_guard lock(records_mutex);
            captured.push_back(std::move(record));
        }
        arrived.notify_all();
    } catch (const std::exception& e) {
        // Memory exhaustion: the record is lost, and the line says so.
        report_write_exception(&e);
    }
    retire(message);
}

std::vector<CaptureTarget::Record> CaptureTarget::records() const {
    std::lock_guard lock(records_mutex);
    return captured;
}

bool CaptureTarget::wait_for(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(records_mutex);
    return arrived.wait_for(lock, timeout, [&] { return captured.size() >= count; });
}

void CaptureTarget::clear() {
    std::lock_guard lock(records_mutex);
    captured.clear();
}

}  // namespace zvk
