// One producer thread's records for one target: a queue that only that
// thread appends to and only the target's writer takes from, so that a
// hand-over is a copy of the bytes and two release stores, with no lock
// and nothing shared with other producers. Records are laid out one after
// another in segments; a full segment is followed by a new one (or the
// one the writer emptied last), so the queue has no bound of its own.
//
// A record is a header (size, level, stamp, logger name), where the source
// line is known the place it came from, and its text, padded to 8 bytes; a
// record of a type derived from Message carries the pointer to it instead
// of a text. The stamp orders the records of several lanes the way they
// were handed over, and gives their time. The thread is the lane's.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "../platform/Cycles.h"

namespace zvk {

class Message;
struct Origin;

namespace detail {

// What the lanes of one target hold in segments their producers have
// filled and moved past (the segment each writes into is not counted), and
// the ceiling past which a producer gets no new segment (0: none). Owned
// by the target's carrier; a lane stops counting once the carrier is gone.
struct LaneBudget {
    std::atomic<std::size_t> sealed{0};
    std::atomic<std::size_t> max{0};
};

class Lane {
public:
    struct Header {
        std::uint32_t size;  // with kPlaced a Place follows; kWhole: the payload is a Message*
        std::int32_t level;
        std::uint64_t stamp;
        const char* logger;
    };
    struct Place {
        const char* file;
        const char* func;
        std::int64_t line;
    };
    static constexpr std::uint32_t kPlaced = 0x8000'0000u;
    static constexpr std::uint32_t kWhole = kPlaced - 1;

    // A record as the writer reads it: valid until it is released.
    struct Record {
        const Header* header;
        bool placed() const { return (header->size & kPlaced) != 0; }
        std::uint32_t size() const { return header->size & ~kPlaced; }
        bool is_whole() const { return size() == kWhole; }
        const char* payload() const {
            return reinterpret_cast<const char*>(header + 1) + (placed() ? sizeof(Place) : 0);
        }
        std::string_view text() const { return {payload(), size()}; }
        Message* whole() const {
            Message* message;
            std::memcpy(&message, payload(), sizeof message);
            return message;
        }
        // Null file and func, line 0, when not placed.
        Place place() const {
            Place place{nullptr, nullptr, 0};
            if (placed()) {
                std::memcpy(&place, header + 1, sizeof place);
            }
            return place;
        }
    };

    // Throws std::bad_alloc when no first segment can be had.
    Lane(std::uint64_t carrier_id, LaneBudget* budget);
    // Deletes the Messages of records never taken.
    ~Lane();
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    // The stamp of a record handed over now: later on any thread means
    // larger, as far as the hardware keeps its counters in step.
    static std::uint64_t stamp() noexcept { return read_stamp(); }

    // The producer's side: false when no memory was left for a segment, or
    // (then over_ceiling()) a new one would take the budget past its max.
    // `origin` gives the logger and the source line; its thread and time
    // are the lane's and the stamp's.
    bool push(std::string_view text, int level, const Origin& origin) noexcept;
    bool push_whole(Message* message, int level, const Origin& origin) noexcept;
    bool over_ceiling() const noexcept { return refused_for_ceiling; }

    // The producer marks the lane busy around a hand-over; the writer that
    // closes the target's lanes waits until no lane is (see Carrier).
    std::atomic<bool> busy{false};

    // Records handed over, and taken by the writer (or discarded).
    std::uint64_t pushed() const noexcept { return pushed_count.load(std::memory_order_acquire); }
    std::uint64_t taken() const noexcept { return taken_count.load(std::memory_order_relaxed); }
    std::uint64_t pending() const noexcept { return pushed() - taken(); }

    // The writer's side, one record at a time: the next record (only when
    // pending() said there is one), then its release. A released segment
    // goes back to the producer.
    Record peek() noexcept;
    void release() noexcept;

    // Walks the records not yet taken without changing anything: for the
    // writer, and for a fatal-signal handler on its thread.
    struct Cursor {
        const void* segment;
        std::size_t position;
        std::uint64_t left;
    };
    Cursor cursor() const noexcept;
    static bool next(Cursor& cursor, Record& record) noexcept;
    // Which of `count` records was handed over first, `record_at(i)` giving
    // each (null: that one has none); `count` when none has one.
    template <class RecordAt>
    static std::size_t earliest(std::size_t count, RecordAt record_at) noexcept {
        std::size_t first = count;
        const Record* best = nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            const Record* record = record_at(i);
            if (record != nullptr &&
                (best == nullptr || record->header->stamp < best->header->stamp)) {
                first = i;
                best = record;
            }
        }
        return first;
    }
    // Gives `origin` what the hand-over of `record` into this lane knew,
    // and `time_us` as its time.
    void fill_origin(Origin& origin, const Record& record, std::int64_t time_us) const noexcept;
    // The writer's bulk release: after reading `count` records with
    // `cursor`, lets them all go at once, up to where the cursor stopped.
    // The segments it moved past are returned, for `recycle` once the
    // target's mutex is released (freeing memory takes its time).
    struct Passed {
        void* first = nullptr;
        void* until = nullptr;
    };
    Passed release_to(const Cursor& cursor, std::uint64_t count) noexcept;
    void recycle(Passed passed) noexcept;

    // The writer's: the segment the producer would use next (null if
    // none), taken back once the lane has gone quiet; a lane then keeps
    // only the segment it writes into.
    void* take_spare() noexcept { return spare.exchange(nullptr, std::memory_order_acq_rel); }
    // The writer's: `segment` (from take_spare) becomes the spare of a
    // lane without one; false, and it stays the caller's, otherwise.
    bool lend_spare(void* segment) noexcept;
    static void free_segment(void* segment) noexcept;

    // The writer's side: drops every record not yet taken (a forked
    // child's copy of the parent's records), deleting their Messages when
    // `delete_whole`. Returns how many.
    std::uint64_t discard(bool delete_whole) noexcept;

    // Guarded by the target's mutex: a flush waits until the writer has
    // taken this lane's records up to `flush_mark` (a count of records
    // handed over); the writer then says which number the record at
    // `mark_done` got in the target's count.
    std::uint64_t flush_mark = 0;
    std::uint64_t mark_done = 0;
    std::uint64_t mark_number = 0;
    int flush_waiters = 0;  // the lane stays while one waits

    const std::uint64_t carrier_id;
    const pthread_t thread;
    const int thread_id;  // the kernel's
    // Two owners: the producer thread and the target. Each gives its share
    // back once; the last frees the lane.
    std::atomic<bool> thread_gone{false};
    std::atomic<bool> carrier_gone{false};
    // Null once the carrier is gone (set before carrier_gone); the writer's
    // and, while the lanes are open, the producer's.
    LaneBudget* budget;
    static void give_up(Lane* lane) noexcept;

private:
    struct Segment;
    Segment* reserve(std::size_t need) noexcept;
    // The writer moved past a filled segment.
    void unseal(const Segment* segment) noexcept;
    // One record: its header, then `payload_bytes` of payload, padded.
    bool append(std::uint32_t size, int level, const Origin& origin, const void* payload,
                std::size_t payload_bytes) noexcept;

    // The producer's fields and the writer's, a cache line apart wherever
    // the lane lands (padding, not alignment: an over-aligned allocation
    // leaves the allocator pieces it cannot use again).
    [[maybe_unused]] char before_producer[64];
    Segment* write_segment;
    std::size_t write_position;
    std::atomic<std::uint64_t> pushed_count{0};
    std::uint64_t next_size;
    bool refused_for_ceiling = false;
    [[maybe_unused]] char before_writer[64];
    Segment* read_segment;
    std::size_t read_position;
    std::atomic<std::uint64_t> taken_count{0};
    // A segment the writer emptied, for the producer to use again.
    std::atomic<Segment*> spare{nullptr};
    std::atomic<int> owners{2};
};

}  // namespace detail
}  // namespace zvk
