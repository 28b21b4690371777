// Records that a worker has written, kept for reuse by the threads that log.
// Building a record's std::ostringstream costs more than the rest of the
// hand-over (the stream looks up its locale facets), and a record freed on
// the worker but allocated on a producer makes the two threads contend for
// the allocator's lock. So a written record goes back, whole, to the
// threads that log, and in steady state the worker frees no record.
//
// A record travels: producer's cache -> queue -> worker -> worker's cache
// -> target's spare list (under the target's mutex) -> a producer's cache
// (under the same mutex, inside Target::log). Each thread's cache is its
// own; nothing here takes a lock.
#pragma once

#include <sstream>
#include <vector>

namespace zvk {

class Message;

namespace detail {

class MessageCache {
public:
    // A worker retires up to a chunk of this many between two hand-backs.
    static constexpr int kCapacity = 64;
    // A thread that logs takes kept records back this many at a time, and
    // only when it is nearly out: every thread that ever logs keeps what it
    // took, so this bounds what an idle thread holds.
    static constexpr int kRefill = 16;

    // The calling thread's cache; null once the thread's exit has
    // destroyed it (callers then build and delete records as usual).
    static MessageCache* local();

    MessageCache() = default;
    MessageCache(const MessageCache&) = delete;
    MessageCache& operator=(const MessageCache&) = delete;
    // Deletes what the thread still holds when it ends.
    ~MessageCache();

    bool empty() const { return count == 0; }
    bool full() const { return count == kCapacity; }
    Message* take() { return count == 0 ? nullptr : items[--count]; }
    void put(Message* message) { items[count++] = message; }

    // A record with `text` and `level`, reused when the cache has one.
    // `text` is left empty either way; when a record is reused it gets that
    // record's old buffer for its next text.
    static Message* make(std::ostringstream&& text, int level);
    // Whether `message` may be kept for reuse: a plain Message with a
    // modest buffer. Others are deleted by whoever retires them.
    static bool reusable(const Message* message);

    // Tops this cache up to kRefill records from `spare` when it is nearly
    // out.
    void refill(std::vector<Message*>& spare);
    // Moves records from this cache into `spare` until it holds `limit`;
    // what does not fit stays here.
    void give_back(std::vector<Message*>& spare, std::size_t limit);

private:
    Message* items[kCapacity];
    int count = 0;
};

}  // namespace detail
}  // namespace zvk
