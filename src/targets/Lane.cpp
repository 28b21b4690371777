#include "Lane.h"

#include <algorithm>
#include <new>

#include "../frontend/Origins.h"
#include "zvk/Message.h"

namespace zvk::detail {

namespace {

// A thread that logs once keeps little; one whose records the writer
// cannot take as fast grows its segments, up to a size the allocator still
// serves from its heap.
constexpr std::size_t kFirstSegment = 4 * 1024;
constexpr std::size_t kLargestSegment = 64 * 1024;

std::size_t padded(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

}  // namespace

struct Lane::Segment {
    std::atomic<std::size_t> head{0};  // bytes published
    std::atomic<Segment*> next{nullptr};
    std::size_t capacity;

    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }

    static Segment* make(std::size_t capacity) noexcept {
        void* memory = ::operator new(sizeof(Segment) + capacity, std::nothrow);
        if (memory == nullptr) {
            return nullptr;
        }
        Segment* segment = new (memory) Segment();
        segment->capacity = capacity;
        return segment;
    }
    static void free(Segment* segment) noexcept {
        if (segment != nullptr) {
            segment->~Segment();
            ::operator delete(segment);
        }
    }
};

static_assert(sizeof(Lane::Header) == 24 && sizeof(Lane::Place) == 24 &&
              alignof(Lane::Header) <= 8);

Lane::Lane(std::uint64_t carrier_id, LaneBudget* budget)
    : carrier_id(carrier_id),
      thread(pthread_self()),
      thread_id(this_thread_id()),
      budget(budget),
      write_segment(Segment::make(kFirstSegment)),
      write_position(0),
      next_size(kFirstSegment * 2),
      read_segment(write_segment),
      read_position(0) {
    if (write_segment == nullptr) {
        throw std::bad_alloc();
    }
}

Lane::~Lane() {
    discard(true);
    for (Segment* segment = read_segment; segment != write_segment;) {
        unseal(segment);
        segment = segment->next.load(std::memory_order_relaxed);
    }
    for (Segment* segment = read_segment; segment != nullptr;) {
        Segment* next = segment->next.load(std::memory_order_relaxed);
        Segment::free(segment);
        segment = next;
    }
    Segment::free(spare.load(std::memory_order_relaxed));
}

void Lane::give_up(Lane* lane) noexcept {
    if (lane != nullptr && lane->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete lane;
    }
}

void Lane::unseal(const Segment* segment) noexcept {
    if (budget != nullptr) {
        budget->sealed.fetch_sub(segment->capacity, std::memory_order_relaxed);
    }
}

Lane::Segment* Lane::reserve(std::size_t need) noexcept {
    // Past the ceiling while something is sealed: the writer has that much
    // to take before this lane may hold more. With nothing sealed one
    // segment always may be, so that a small ceiling cannot stop the lane.
    const std::size_t sealed = budget->sealed.load(std::memory_order_relaxed);
    const std::size_t max = budget->max.load(std::memory_order_relaxed);
    refused_for_ceiling = max != 0 && sealed != 0 && sealed + write_segment->capacity > max;
    if (refused_for_ceiling) {
        return nullptr;
    }
    // The segment the writer emptied last, where it holds the record: the
    // writer keeps up, and the lane stays as small as it is. Otherwise a
    // larger one, up to a limit (records longer than that get one of their
    // own size).
    Segment* fresh = spare.exchange(nullptr, std::memory_order_acquire);
    if (fresh != nullptr && fresh->capacity < need) {
        Segment::free(fresh);
        fresh = nullptr;
    }
    if (fresh == nullptr) {
        fresh = Segment::make(std::max(next_size, need));
        if (fresh == nullptr) {
            return nullptr;
        }
        next_size = std::min(next_size * 2, kLargestSegment);
    }
    budget->sealed.fetch_add(write_segment->capacity, std::memory_order_relaxed);
    fresh->head.store(0, std::memory_order_relaxed);
    fresh->next.store(nullptr, std::memory_order_relaxed);
    // The full segment's head is final: the writer moves on once it has
    // read up to it and sees the link.
    write_segment->next.store(fresh, std::memory_order_release);
    write_segment = fresh;
    write_position = 0;
    return fresh;
}

bool Lane::append(std::uint32_t size, int level, const Origin& origin, const void* payload,
                  std::size_t payload_bytes) noexcept {
    const bool placed = origin.file != nullptr || origin.func != nullptr || origin.line != 0;
    const std::size_t place_bytes = placed ? sizeof(Place) : 0;
    const std::size_t need = sizeof(Header) + place_bytes + padded(payload_bytes);
    Segment* segment = write_segment;
    if (segment->capacity - write_position < need) {
        segment = reserve(need);
        if (segment == nullptr) {
            return false;
        }
    }
    char* at = segment->data() + write_position;
    const Header header{placed ? size | kPlaced : size, level, stamp(), origin.logger};
    std::memcpy(at, &header, sizeof header);
    if (placed) [[unlikely]] {
        const Place place{origin.file, origin.func, origin.line};
        std::memcpy(at + sizeof header, &place, sizeof place);
    }
    std::memcpy(at + sizeof header + place_bytes, payload, payload_bytes);
    write_position += need;
    segment->head.store(write_position, std::memory_order_release);
    pushed_count.store(pushed_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
}

bool Lane::push(std::string_view text, int level, const Origin& origin) noexcept {
    return text.size() < kWhole &&
           append(static_cast<std::uint32_t>(text.size()), level, origin, text.data(), text.size());
}

bool Lane::push_whole(Message* message, int level, const Origin& origin) noexcept {
    return append(kWhole, level, origin, &message, sizeof message);
}

namespace {

std::size_t record_bytes(const Lane::Header& header) {
    const Lane::Record record{&header};
    return sizeof header + (record.placed() ? sizeof(Lane::Place) : 0) +
           (record.is_whole() ? sizeof(Message*) : padded(record.size()));
}

}  // namespace

Lane::Record Lane::peek() noexcept {
    for (;;) {
        if (read_position < read_segment->head.load(std::memory_order_acquire)) {
            return Record{reinterpret_cast<const Header*>(read_segment->data() + read_position)};
        }
        // A record is pending, so the producer has moved on to a next
        // segment, or published more here since the look above: the head
        // seen after the link is final.
        Segment* next = read_segment->next.load(std::memory_order_acquire);
        if (next == nullptr || read_position < read_segment->head.load(std::memory_order_acquire)) {
            continue;
        }
        Segment* done = read_segment;
        read_segment = next;
        read_position = 0;
        unseal(done);
        Segment::free(spare.exchange(done, std::memory_order_release));
    }
}

void Lane::release() noexcept {
    const Header* header = reinterpret_cast<const Header*>(read_segment->data() + read_position);
    read_position += record_bytes(*header);
    taken_count.store(taken_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

Lane::Passed Lane::release_to(const Cursor& cursor, std::uint64_t count) noexcept {
    Passed passed;
    if (read_segment != cursor.segment) {
        passed.first = read_segment;
        passed.until = const_cast<void*>(cursor.segment);
        read_segment = static_cast<Segment*>(passed.until);
    }
    read_position = cursor.position;
    taken_count.store(taken_count.load(std::memory_order_relaxed) + count,
                      std::memory_order_release);
    return passed;
}

void Lane::recycle(Passed passed) noexcept {
    // The producer has moved past these, and the writer no longer reads
    // them: the last one becomes the spare.
    for (Segment* segment = static_cast<Segment*>(passed.first); segment != passed.until;) {
        Segment* next = segment->next.load(std::memory_order_acquire);
        unseal(segment);
        Segment::free(spare.exchange(segment, std::memory_order_release));
        segment = next;
    }
}

bool Lane::lend_spare(void* segment) noexcept {
    Segment* none = nullptr;
    return spare.compare_exchange_strong(none, static_cast<Segment*>(segment),
                                         std::memory_order_release, std::memory_order_relaxed);
}

void Lane::free_segment(void* segment) noexcept { Segment::free(static_cast<Segment*>(segment)); }

Lane::Cursor Lane::cursor() const noexcept {
    return Cursor{read_segment, read_position, pending()};
}

bool Lane::next(Cursor& cursor, Record& record) noexcept {
    while (cursor.left != 0) {
        Segment* segment = static_cast<Segment*>(const_cast<void*>(cursor.segment));
        if (cursor.position < segment->head.load(std::memory_order_acquire)) {
            record.header = reinterpret_cast<const Header*>(segment->data() + cursor.position);
            cursor.position += record_bytes(*record.header);
            --cursor.left;
            return true;
        }
        Segment* next = segment->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            return false;
        }
        if (cursor.position < segment->head.load(std::memory_order_acquire)) {
            continue;
        }
        cursor.segment = next;
        cursor.position = 0;
    }
    return false;
}

std::uint64_t Lane::discard(bool delete_whole) noexcept {
    std::uint64_t count = 0;
    while (pending() != 0) {
        Record record = peek();
        if (delete_whole && record.is_whole()) {
            delete record.whole();
        }
        release();
        ++count;
    }
    return count;
}

void Lane::fill_origin(Origin& origin, const Record& record, std::int64_t time_us) const noexcept {
    const Place place = record.place();
    origin.logger = record.header->logger;
    origin.file = place.file;
    origin.func = place.func;
    origin.line = static_cast<int>(place.line);
    origin.thread = thread_id;
    origin.time_us = time_us;
}

}  // namespace zvk::detail
