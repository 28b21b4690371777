#include "Backlog.h"

#include <cstddef>
#include <iterator>
#include <new>

#include "zvk/Message.h"

namespace zvk::detail {

Backlog::Backlog() : accepted_count(0), max(0), drop(false), refused(0), written_count(0) {
    spare.reserve(kSpareLimit);
}

Backlog::~Backlog() {
    for (Queued& record : held) {
        delete record.whole;
    }
}

void Backlog::set_bound(std::size_t max_records, bool drop_when_full) {
    max = max_records;
    drop = drop_when_full;
}

void Backlog::note_gap(std::uint64_t number) {
    gaps.emplace_back(number, refused);
    refused = 0;
}

void Backlog::accept_at(std::deque<Queued>& waiting, std::size_t after,
                        std::deque<Queued>& records) {
    const std::uint64_t count = records.size();
    const std::uint64_t first_moved = accepted_count - waiting.size() + after;
    for (auto& gap : gaps) {
        if (gap.first >= first_moved) {
            gap.first += count;
        }
    }
    if (waiting.empty()) {
        waiting.swap(records);
    } else {
        const auto at = waiting.begin() + static_cast<std::ptrdiff_t>(after);
        waiting.insert(at, std::make_move_iterator(records.begin()),
                       std::make_move_iterator(records.end()));
        records.clear();
    }
    accepted_count += count;
}

std::uint64_t Backlog::take_trailing_gap() {
    std::uint64_t count = refused;
    refused = 0;
    return count;
}

std::uint64_t Backlog::discard_waiting(std::deque<Queued>& waiting) {
    std::uint64_t count = waiting.size();
    for (Queued& record : waiting) {
        delete record.whole;
    }
    waiting.clear();
    // They leave the count of accepted records, so that what is accepted
    // later is not waited for behind them.
    accepted_count -= count;
    // Gaps in front of discarded records are reported with them.
    for (const auto& gap : gaps) {
        count += gap.second;
    }
    gaps.clear();
    return count;
}

void Backlog::forget_held() {
    // The parent's writer changed `held` without the mutex: the child's
    // copy may be half-changed, so it is neither read nor freed, only
    // replaced (its memory stays with the child, one batch at most).
    new (&held) std::deque<Queued>();
    new (&held_gaps) std::deque<std::pair<std::uint64_t, std::uint64_t>>();
    accepted_count = written();
    refused = 0;
}

void Backlog::take(std::deque<Queued>& waiting) {
    held.swap(waiting);
    while (!gaps.empty()) {
        held_gaps.push_back(gaps.front());
        gaps.pop_front();
    }
}

Backlog::Queued& Backlog::next_held(std::uint64_t& gap_before) {
    gap_before = 0;
    if (!held_gaps.empty() && held_gaps.front().first == written()) {
        gap_before = held_gaps.front().second;
        held_gaps.pop_front();
    }
    return held.front();
}

void Backlog::written_one() {
    held.pop_front();
    // Only the writer changes the count: a plain store suffices.
    written_count.store(written_count.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
}

std::size_t Backlog::start_run(std::size_t limit) {
    std::size_t until_gap = held.size();
    if (!held_gaps.empty()) {
        until_gap = static_cast<std::size_t>(held_gaps.front().first - written());
    }
    std::size_t count = 0;
    while (count < limit && count < until_gap && count < held.size() &&
           held[count].whole == nullptr) {
        ++count;
    }
    running = count;
    run_progress(0, 0, -1);
    return count;
}

void Backlog::finish_run(std::vector<std::string>* returned) {
    const std::size_t count = running;
    running = 0;
    // The whole run is out before any of it leaves; once it has left, what
    // is held is all still to write.
    resume_at.store(place(count), std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    flight_end.store(kNoneOut, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (std::size_t i = 0; i < count; ++i) {
        std::string& text = held.front().text;
        if (returned != nullptr && text.capacity() > 15 && returned->size() < kPoolLimit) {
            text.clear();
            returned->push_back(std::move(text));
        }
        held.pop_front();
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    resume_at.store(kNoneOut, std::memory_order_relaxed);
    // One store for the run: the count moves on once its records are out.
    written_count.store(written_count.load(std::memory_order_relaxed) + count,
                        std::memory_order_release);
}

void Backlog::return_held(std::deque<Queued>& waiting, bool husk_at_front) {
    if (husk_at_front && !held.empty()) {
        // write_msg owned that record and disposed of it: it counts as
        // written, as far as anyone waiting for it is concerned.
        written_one();
    }
    waiting.insert(waiting.begin(), std::make_move_iterator(held.begin()),
                   std::make_move_iterator(held.end()));
    held.clear();
    while (!held_gaps.empty()) {
        gaps.push_front(held_gaps.back());
        held_gaps.pop_back();
    }
}

void Backlog::give_back(std::vector<std::string>& returned) {
    while (!returned.empty() && spare.size() < kSpareLimit) {
        spare.push_back(std::move(returned.back()));
        returned.pop_back();
    }
    returned.clear();
}

}  // namespace zvk::detail
