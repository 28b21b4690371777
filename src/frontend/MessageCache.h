// Messages that a thread has written, kept for the next records it hands to
// write_msg. Building a Message's std::ostringstream costs more than
// writing a short record (the stream looks up its locale facets), so a
// worker builds a few and fills them again with each queued text. Each
// thread's cache is its own; nothing here takes a lock.
#pragma once

#include <sstream>
#include <string>

namespace zvk {

class Message;

namespace detail {

class MessageCache {
public:
    // A worker writes up to a chunk of this many between two looks at its
    // queue; it keeps at most this many Messages.
    static constexpr int kCapacity = 64;

    // The calling thread's cache; null once the thread's exit has
    // destroyed it (callers then build and delete Messages as usual).
    static MessageCache* local();

    MessageCache() = default;
    MessageCache(const MessageCache&) = delete;
    MessageCache& operator=(const MessageCache&) = delete;
    // Deletes what the thread still holds when it ends.
    ~MessageCache();

    bool full() const { return count == kCapacity; }
    Message* take() { return count == 0 ? nullptr : items[--count]; }
    void put(Message* message) { items[count++] = message; }

    // Whether `message` may be kept for reuse: a plain Message whose
    // stream carries nothing a caller could have set up on it. Others are
    // deleted by whoever retires them.
    static bool reusable(const Message* message);

    // Makes a kept Message like a new one: returns its old text buffer and
    // resets the stream's state and formatting.
    static std::string reset(Message& message);
    // Gives `message` the text, with the write position at its end, as if
    // it had been written into the stream.
    static void put_text(Message& message, std::string&& text);

private:
    Message* items[kCapacity];
    int count = 0;
};

}  // namespace detail
}  // namespace zvk
