// The carrier's lanes: finding the calling thread's, taking what they hold
// in the order it was handed over, closing them when the worker stops, and
// giving them back when their thread or their target ends.
#include <pthread.h>

#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "../frontend/Origins.h"
#include "../frontend/ReadSection.h"
#include "Carrier.h"
#include "zvk/Message.h"

namespace zvk::detail {

namespace {

std::atomic<std::uint64_t> next_carrier_id{1};

// Records taken from the lanes at a time, as texts of their own (in
// buffers the writer keeps: see Backlog::kPoolLimit).
constexpr std::size_t kTakeLimit = Backlog::kPoolLimit;

// The lanes of the calling thread, one per target it logged into; the last
// one used is looked up first. Freed with the thread (the main thread's
// stays until the process ends: its lanes are given back by their targets).
struct LocalLanes {
    std::uint64_t last_id = 0;
    Lane* last = nullptr;
    std::vector<Lane*> all;
};

constinit ZVK_INITIAL_EXEC thread_local LocalLanes* local_lanes = nullptr;

pthread_key_t lanes_key;

void thread_ended(void* value) {
    auto* local = static_cast<LocalLanes*>(value);
    for (Lane* lane : local->all) {
        lane->thread_gone.store(true, std::memory_order_release);
        Lane::give_up(lane);
    }
    if (local_lanes == local) {
        local_lanes = nullptr;
    }
    delete local;
}

// As the library loads, not on first use: a thread making its first lane
// when another forks would leave a function-local static's guard held in
// the child, whose first lane would then wait for ever.
const bool lanes_keyed = pthread_key_create(&lanes_key, thread_ended) == 0;

LocalLanes* make_local() noexcept {
    if (!lanes_keyed) {
        return nullptr;
    }
    auto* local = new (std::nothrow) LocalLanes();
    if (local == nullptr || pthread_setspecific(lanes_key, local) != 0) {
        delete local;
        return nullptr;
    }
    local_lanes = local;
    return local;
}

}  // namespace

std::uint64_t new_carrier_id() noexcept {
    return next_carrier_id.fetch_add(1, std::memory_order_relaxed);
}

Carrier::~Carrier() {
    for (Lane* lane : lanes) {
        lane->budget = nullptr;
        lane->carrier_gone.store(true, std::memory_order_release);
        Lane::give_up(lane);
    }
    for (void* segment : spare_pool) {
        Lane::free_segment(segment);
    }
}

Lane* Carrier::caller_lane() noexcept {
    LocalLanes* local = local_lanes;
    if (local != nullptr && local->last_id == id) [[likely]] {
        return local->last;
    }
    return find_or_make_lane();
}

Lane* Carrier::find_or_make_lane() noexcept {
    LocalLanes* local = local_lanes != nullptr ? local_lanes : make_local();
    if (local == nullptr) {
        return nullptr;
    }
    Lane* found = nullptr;
    // Lanes into targets that are gone are given back on the way.
    for (std::size_t i = 0; i < local->all.size();) {
        Lane* lane = local->all[i];
        if (lane->carrier_gone.load(std::memory_order_acquire)) {
            local->all[i] = local->all.back();
            local->all.pop_back();
            if (local->last == lane) {
                local->last = nullptr;
                local->last_id = 0;
            }
            Lane::give_up(lane);
            continue;
        }
        if (lane->carrier_id == id) {
            found = lane;
        }
        ++i;
    }
    if (found == nullptr) {
        try {
            local->all.reserve(local->all.size() + 1);
            auto made = std::make_unique<Lane>(id, &lane_budget);
            {
                std::lock_guard lock(owner.mutex);
                CrashSection section(*this);
                lanes.push_back(made.get());
            }
            found = made.release();
            local->all.push_back(found);
        } catch (...) {
            return nullptr;
        }
    }
    local->last_id = id;
    local->last = found;
    return found;
}

void Carrier::wake_worker() noexcept {
    try {
        std::lock_guard lock(owner.mutex);
        CrashSection section(*this);
        // Cleared here, so that the producers behind this one go on.
        worker_sleeping.store(false, std::memory_order_relaxed);
        if (worker_waiting) {
            worker_waiting = false;
            work_cond.notify_one();
        }
    } catch (...) {
        // The worker looks again by itself within its idle wait.
    }
}

bool Carrier::ready_to_sleep(std::unique_lock<std::mutex>& lock) {
    if (lanes_open.load(std::memory_order_relaxed)) {
        // The burst is over: each lane keeps the segment it writes into,
        // the spares go to the pool or are freed.
        std::vector<void*> freed;
        try {
            spare_pool.reserve(kSparePool);
            freed.reserve(lanes.size());
        } catch (...) {
            // No room to list them: the spares stay with their lanes.
            freed.clear();
        }
        for (Lane* lane : lanes) {
            if (freed.capacity() < lanes.size()) {
                break;
            }
            if (void* segment = lane->take_spare(); segment != nullptr) {
                if (spare_pool.size() < kSparePool) {
                    spare_pool.push_back(segment);
                } else {
                    freed.push_back(segment);
                }
            }
        }
        // Without the mutex, which a producer waking this worker takes. A
        // producer fences (or is fenced by this) between its hand-over and
        // its look at worker_sleeping: either its record shows below, or
        // it sees this worker sleeping and wakes it.
        lock.unlock();
        for (void* segment : freed) {
            Lane::free_segment(segment);
        }
        barrier_everywhere();
        lock.lock();
    }
    return worker_waiting && lanes_pending() == 0 && owner.queue.empty() &&
           owner.state == Target::RUNNING;
}

std::uint64_t Carrier::lanes_pending() const noexcept {
    std::uint64_t pending = 0;
    for (const Lane* lane : lanes) {
        pending += lane->pending();
    }
    return pending;
}

std::size_t Carrier::take_lanes(std::unique_lock<std::mutex>& lock,
                                std::vector<std::string>* pool) {
    std::vector<LaneSource> sources;
    std::size_t total = 0;
    for (Lane* lane : lanes) {
        if (std::uint64_t count = lane->pending(); count != 0) {
            Lane::Cursor cursor = lane->cursor();
            cursor.left = count;
            sources.push_back({lane, cursor, cursor, {}, true, 0, 0});
            total += count;
        }
    }
    // Not in the loop above: the lanes' counts are read as close together
    // as can be, since a record handed over after one lane was read may
    // follow, on another thread, one that a later lane shows.
    for (LaneSource& source : sources) {
        // Handing over again: a spare from the pool saves it an
        // allocation when its segment fills.
        if (!spare_pool.empty() && source.lane->lend_spare(spare_pool.back())) {
            spare_pool.pop_back();
        }
    }
    if (total != 0) {
        // Read without the mutex: only this thread takes from the lanes,
        // and the producers hand over into them without it. Nothing leaves
        // a lane until the records are in the queue, so that a fatal signal
        // in between finds each record in one place.
        lock.unlock();
        stamp_clock.refresh();
        std::deque<Queued> taken;
        try {
            merge_lanes(sources, taken, pool);
        } catch (...) {
            // The lanes still own their Messages; nothing was taken.
            for (Queued& queued : taken) {
                queued.whole = nullptr;
            }
            lock.lock();
            throw;
        }
        lock.lock();
        total = queue_taken(lock, sources, taken);
    }
    give_back_ended_lanes(lock);
    return total;
}

void Carrier::merge_lanes(std::vector<LaneSource>& sources, std::deque<Queued>& taken,
                          std::vector<std::string>* pool) {
    std::vector<LaneSource*> open;
    for (LaneSource& source : sources) {
        Lane::next(source.cursor, source.next);
        open.push_back(&source);
    }
    // The records of all lanes in the order they were handed over: each
    // time the earliest of the lanes' next records. A lane's own records
    // keep their order whatever their stamps. At most kTakeLimit at a time:
    // the rest waits in the lanes, where it takes less room than as
    // separate texts.
    std::size_t left = kTakeLimit;
    while (!open.empty() && left-- != 0) {
        const std::size_t first =
            Lane::earliest(open.size(), [&open](std::size_t i) { return &open[i]->next; });
        LaneSource& source = *open[first];
        const Lane::Record record = source.next;
        Queued queued{{}, record.header->level, false, nullptr};
        source.lane->fill_origin(queued.origin, record, stamp_clock.to_us(record.header->stamp));
        if (record.is_whole()) {
            queued.whole = record.whole();
            // A Message carries its own; what the hand-over knew goes where
            // it left a blank.
            fill_blanks(queued.whole->origin, queued.origin);
        } else {
            if (pool != nullptr && !pool->empty()) {
                queued.text = std::move(pool->back());
                pool->pop_back();
            }
            queued.text.assign(record.text());
        }
        taken.push_back(std::move(queued));
        source.last_index = taken.size() - 1;
        ++source.emitted;
        source.at = source.cursor;
        if (!Lane::next(source.cursor, source.next)) {
            source.open = false;
            open[first] = open.back();
            open.pop_back();
        }
    }
}

std::size_t Carrier::queue_taken(std::unique_lock<std::mutex>& lock,
                                 std::vector<LaneSource>& sources, std::deque<Queued>& taken) {
    std::vector<std::pair<Lane*, Lane::Passed>> passed;
    passed.reserve(sources.size());
    // Short: a fatal signal on this thread inside the section finds the
    // target out of its reach. Memory is given back after.
    CrashSection section(*this);
    // The number the first of them gets.
    const std::uint64_t first_number = backlog.accepted() - owner.queue.size() + queued_from_lanes;
    for (LaneSource& source : sources) {
        Lane* lane = source.lane;
        // A flush that marked the lane, also while this thread read it,
        // learns the number of the lane's last record taken now: its own
        // mark is at or before it.
        if (source.emitted == 0) {
            continue;
        }
        if (lane->flush_mark > lane->taken()) {
            lane->mark_done = lane->taken() + source.emitted;
            lane->mark_number = first_number + source.last_index;
        }
        passed.emplace_back(
            lane, lane->release_to(source.open ? source.at : source.cursor, source.emitted));
    }
    const std::size_t total = taken.size();
    backlog.accept_at(owner.queue, queued_from_lanes, taken);
    queued_from_lanes += total;
    section.leave();
    lock.unlock();
    for (auto& [lane, segments] : passed) {
        lane->recycle(segments);
    }
    taken.clear();
    taken.shrink_to_fit();
    lock.lock();
    return total;
}

void Carrier::give_back_ended_lanes(std::unique_lock<std::mutex>& lock) {
    // A lane whose thread ended is given back once it is empty (freed
    // without the mutex).
    std::vector<Lane*> ended;
    CrashSection section(*this);
    for (std::size_t i = 0; i < lanes.size();) {
        Lane* lane = lanes[i];
        if (lane->thread_gone.load(std::memory_order_acquire) && lane->pending() == 0 &&
            lane->flush_waiters == 0) {
            lanes[i] = lanes.back();
            lanes.pop_back();
            lane->carrier_gone.store(true, std::memory_order_release);
            ended.push_back(lane);
            continue;
        }
        ++i;
    }
    section.leave();
    if (!ended.empty()) {
        lock.unlock();
        for (Lane* lane : ended) {
            Lane::give_up(lane);
        }
        lock.lock();
    }
}

void Carrier::take_all_lanes(std::unique_lock<std::mutex>& lock, std::vector<std::string>* pool) {
    // Each take moves some; a closed lane gets nothing new, so this ends.
    while (lanes_pending() != 0 && take_lanes(lock, pool) != 0) {
    }
}

void Carrier::close_lanes(std::unique_lock<std::mutex>& lock) {
    if (!lanes_open.load(std::memory_order_relaxed)) {
        return;
    }
    lanes_open.store(false, std::memory_order_relaxed);
    std::vector<Lane*> all = lanes;
    // Without the mutex: a producer inside a hand-over may need it to wake
    // this worker.
    lock.unlock();
    // Every producer now either saw the lanes closed, or marked its lane
    // busy before it looked: wait for those.
    barrier_everywhere();
    for (Lane* lane : all) {
        while (lane->busy.load(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    lock.lock();
}

std::uint64_t Carrier::drop_lanes_after_fork() noexcept {
    lanes_open.store(false, std::memory_order_relaxed);
    worker_sleeping.store(false, std::memory_order_relaxed);
    std::uint64_t dropped = 0;
    for (std::size_t i = 0; i < lanes.size();) {
        Lane* lane = lanes[i];
        dropped += lane->discard(true);
        // The threads of the other lanes are not in the child.
        if (!pthread_equal(lane->thread, pthread_self())) {
            lanes[i] = lanes.back();
            lanes.pop_back();
            lane->carrier_gone.store(true, std::memory_order_release);
            Lane::give_up(lane);
            Lane::give_up(lane);
            continue;
        }
        ++i;
    }
    // What the parent's lanes hold is the parent's to take.
    lane_budget.sealed.store(0, std::memory_order_relaxed);
    return dropped;
}

}  // namespace zvk::detail
