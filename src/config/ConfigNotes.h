// What loading passes over without a word, and why a load failed, each with
// its place in the file: the checker reports all of it, the service the
// unknown elements, the loggers it drops and the reason of a failed load.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zvk/VornConfig.h"

namespace zvk::detail {

struct Note {
    enum Kind {
        unknown_element,
        unknown_attribute,
        target_skipped,  // empty or defined again: not read
        logger_dropped,  // names no defined target
    };
    Kind kind = unknown_element;
    std::size_t line = 0;
    std::string text{};  // what follows "FILE:LINE: "
};

// The library prints at most this many notes of a load, then how many more.
inline constexpr std::size_t kNotesReported = 20;

struct NoteFilter {
    const std::vector<Note::Kind>* kinds = nullptr;  // null: every kind
    std::size_t limit = static_cast<std::size_t>(-1);
};

// The notes of the document `model` holds that `filter` asks for, at most
// its limit, by line; `left_out` gets how many more there are. None without
// a document. Dropped loggers only of a model that loaded: a failed load
// stops before the loggers that follow.
std::vector<Note> config_notes(const VornConfig& model, bool loaded, const NoteFilter& filter = {},
                               std::size_t* left_out = nullptr);

// The library's lines on loading `path`: one per unknown element and one
// per dropped logger, "PATH:LINE: ...".
void report_notes(const VornConfig& model, const std::string& path, bool loaded);

// The known name nearest to `name` among `known`; empty when none is near
// enough to be a likely misspelling.
std::string nearest_name(const std::string& name, const std::vector<std::string>& known);

struct LoadFailure {
    std::size_t line = 0;    // 0: no place in the file
    std::size_t column = 0;  // 0: the whole line
    std::string reason{};    // empty: not known
};
// Why `model` did not load from `path`: the first target without children
// that stopped it, or else the parser's reason, read again from `path`
// (a failed parse leaves the model no document).
LoadFailure load_failure(const VornConfig& model, const std::string& path);
// "line 12, column 3: mismatched tag", "line 7: ...", or the reason alone.
std::string place_and_reason(const LoadFailure& failure);

}  // namespace zvk::detail
