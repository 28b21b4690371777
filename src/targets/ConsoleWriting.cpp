#include "ConsoleWriting.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <typeinfo>

#include "../frontend/Report.h"
#include "Carrier.h"
#include "zvk/Message.h"
#include "zvk/Target.h"

namespace zvk {

namespace {

// The most the console hands std::clog at once, unless one record is longer.
constexpr std::size_t kRunBytes = 64 * 1024;

}  // namespace

namespace detail {

ConsoleWriting::ConsoleWriting(const std::string& name) : name(name), failing(false), lost(0) {}

bool ConsoleWriting::write(std::string_view text) {
    std::clog.write(text.data(), static_cast<std::streamsize>(text.size()));
    // Through to the descriptor: a program that called
    // std::ios::sync_with_stdio(false) gave std::clog a buffer of its own,
    // which would keep records from standard error (and from a flush's
    // promise) until it fills.
    std::clog.flush();
    if (std::clog) {
        return true;
    }
    // A failed stream turns every later write into a no-op: report this
    // record and let the next one try again.
    std::clog.clear();
    return false;
}

void ConsoleWriting::write_run(const std::string_view* texts, std::size_t count,
                               Carrier& progress) {
    std::size_t next = 0;
    while (next < count) {
        std::size_t batch = 1;
        std::size_t bytes = texts[next].size();
        while (next + batch < count && bytes + texts[next + batch].size() <= kRunBytes) {
            bytes += texts[next + batch].size();
            ++batch;
        }
        std::string_view all = texts[next];
        if (batch > 1) {
            run_buffer.clear();
            for (std::size_t i = next; i < next + batch; ++i) {
                run_buffer.append(texts[i]);
            }
            all = run_buffer;
        }
        progress.run_progress(next, batch, -1);
        // As an unformatted write, but the stream buffer says how much it
        // took: the records it took whole are out.
        std::streamsize put = 0;
        if (std::ostream::sentry ready(std::clog); ready) {
            put = std::clog.rdbuf()->sputn(all.data(), static_cast<std::streamsize>(all.size()));
            // As in write(): a buffer of std::clog's own is emptied now; what
            // it cannot hand on is lost.
            if (put == static_cast<std::streamsize>(all.size()) &&
                std::clog.rdbuf()->pubsync() != 0) {
                put = 0;
            }
        }
        if (put != static_cast<std::streamsize>(all.size())) {
            std::clog.clear();
            std::size_t out = static_cast<std::size_t>(std::max<std::streamsize>(put, 0));
            std::size_t whole = 0;
            while (whole < batch && out >= texts[next + whole].size()) {
                out -= texts[next + whole].size();
                ++whole;
            }
            if (whole != 0) {
                succeeded();
            }
            // Counted per record, as if each had failed on its own.
            for (std::size_t i = whole; i < batch; ++i) {
                failed(std::string());
            }
        } else {
            succeeded();
        }
        next += batch;
    }
}

void ConsoleWriting::failed(const std::string& reason) {
    auto now = std::chrono::steady_clock::now();
    if (!failing) {
        failing = true;
        lost = 0;
        reported = now;
        report("Could not write msg in target: " + name +
               (reason.empty() ? std::string() : " - " + reason));
        return;
    }
    ++lost;
    if (now - reported >= std::chrono::seconds(1)) {
        report_losses();
        failing = true;
    }
}

void ConsoleWriting::report_losses() {
    if (lost != 0) {
        report("Could not write msg in target: " + name + " - " + decimal(lost) +
               " more records lost");
    }
    lost = 0;
    failing = false;
    reported = std::chrono::steady_clock::now();
}

}  // namespace detail

void Target::write_msg(Message* message) {
    // Retired however the write ends, even if a report below throws.
    struct RetireAtEnd {
        Target* target;
        Message* message;
        ~RetireAtEnd() { target->retire(message); }
    } retire_at_end{this, message};
    try {
        if (console->write(message->text.view())) {
            console->succeeded();
        } else {
            console->failed(std::string());
        }
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

void Target::write_texts(const std::string_view* texts, std::size_t count) noexcept {
    try {
        console->write_run(texts, count, *carrier);
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

bool Target::takes_runs() const noexcept {
    // A derived type's write_msg may do more than write the text.
    return typeid(*this) == typeid(Target);
}

int Target::crash_descriptor() const noexcept { return Target::takes_runs() ? STDERR_FILENO : -1; }

bool Target::ticks() const noexcept { return false; }

std::int64_t Target::tick() noexcept { return -1; }

void Target::console_write_failed(const std::string& reason) { console->failed(reason); }

void Target::write_succeeded() { console->succeeded(); }

void Target::report_write_exception(const std::exception* what) noexcept {
    try {
        detail::report(what != nullptr
                           ? "Exception write msg in target: " + name + " - " + what->what()
                           : "Unknown exception write msg in target: " + name);
    } catch (...) {
    }
}

}  // namespace zvk
