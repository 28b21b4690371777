#include "ConfigNotes.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "../frontend/Report.h"
#include "Settings.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace zvk::detail {

namespace {

std::string q(const std::string& s) { return "\"" + s + "\""; }

// Insertions, deletions, substitutions and swaps of neighbours, each one
// step: "compres" is 1 from "compress", "rotate_evry" 1 from "rotate_every".
std::size_t distance(const std::string& a, const std::string& b) {
    // Rows i-2, i-1 and i of the table.
    std::vector<std::size_t> before(b.size() + 1);
    std::vector<std::size_t> last(b.size() + 1);
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        last[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        std::swap(before, last);
        std::swap(last, row);
    }
    return last[b.size()];
}

// The names the table knows in `scope`; at the top also the two records.
std::vector<std::string> names_in(Scope scope) {
    std::vector<std::string> names;
    for (const Element& row : all_elements()) {
        if (row.scope == scope) {
            names.push_back(row.name);
        }
    }
    if (scope == Scope::top) {
        names.emplace_back("target");
        names.emplace_back("logger");
    }
    return names;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A name of another scope in the wrong place: where it belongs.
std::string belongs(const std::string& name, Scope here) {
    for (const auto& [scope, place] : {std::pair{Scope::top, "at the top level"},
                                       {Scope::target, "in a target"},
                                       {Scope::logger, "in a logger"}}) {
        if (scope != here && contains(names_in(scope), name)) {
            return place;
        }
    }
    return {};
}

class Walk {
public:
    Walk(const VornConfig& model, const NoteFilter& filter, std::vector<Note>& notes)
        : model(model), filter(filter), notes(notes) {}

    // False when `kind` is not asked for, or only counted: past the limit,
    // no text is composed, so a document of thousands of unknown elements
    // costs no more than its walk.
    bool wanted(Note::Kind kind) {
        if (filter.kinds != nullptr &&
            std::find(filter.kinds->begin(), filter.kinds->end(), kind) == filter.kinds->end()) {
            return false;
        }
        if (notes.size() < filter.limit) {
            return true;
        }
        ++left_out;
        return false;
    }

    void unknown_element(const XMLElement& element, Scope scope, const std::string& where) {
        if (!wanted(Note::unknown_element)) {
            return;
        }
        std::string text = "unknown element <" + element.name + ">" + where;
        const std::string near = nearest_name(element.name, names_in(scope));
        const std::string place = belongs(element.name, scope);
        if (!near.empty()) {
            text += " (did you mean <" + near + ">?)";
        } else if (!place.empty()) {
            text += " (<" + element.name + "> belongs " + place + ")";
        }
        notes.push_back({Note::unknown_element, element.line, text});
    }

    // Loading reads a leaf's text alone: any attribute or child is lost.
    void leaf(const XMLElement& element, const std::string& where) {
        for (const auto& [key, value] : element.attributes) {
            if (wanted(Note::unknown_attribute)) {
                notes.push_back(
                    {Note::unknown_attribute, element.line,
                     "unknown attribute " + q(key) + " in <" + element.name + ">" + where});
            }
        }
        for (const auto& child : element.children) {
            if (!wanted(Note::unknown_element)) {
                continue;
            }
            notes.push_back(
                {Note::unknown_element, child->line,
                 "unknown element <" + child->name + "> in <" + element.name + ">" + where});
        }
    }

    // A <target> or <logger>: its "name" and the children of its scope.
    void record(const XMLElement& element, Scope scope) {
        const std::string owner =
            element.name + " " + q(std::string(element.get_attribute(model.key_name)));
        for (const auto& [key, value] : element.attributes) {
            if (key != model.key_name && wanted(Note::unknown_attribute)) {
                const std::string near = nearest_name(key, {model.key_name});
                notes.push_back({Note::unknown_attribute, element.line,
                                 "unknown attribute " + q(key) + " in <" + element.name + ">" +
                                     (near.empty() ? "" : " (did you mean " + q(near) + "?)")});
            }
        }
        const std::vector<std::string> known = names_in(scope);
        for (const auto& child : element.children) {
            if (contains(known, child->name)) {
                leaf(*child, " of " + owner);
            } else {
                unknown_element(*child, scope, " in " + owner);
            }
        }
    }

    void dropped_logger(const XMLElement& logger) {
        if (!wanted(Note::logger_dropped)) {
            return;
        }
        const std::string name(logger.get_attribute(model.key_name));
        const std::string dropped = "logger " + q(name) + " dropped: ";
        if (logger.children.empty()) {
            notes.push_back(
                {Note::logger_dropped, logger.line, dropped + "it has no child elements"});
            return;
        }
        const Element& row = element(Setting::logger_target);
        bool names_target = false;
        for (const auto& child : logger.children) {
            if (child->name == row.name) {
                names_target = true;
                notes.push_back(
                    {Note::logger_dropped, child->line,
                     dropped + "its " + row.name + " " + q(child->text) + " " + row.refusal});
            }
        }
        if (!names_target) {
            notes.push_back(
                {Note::logger_dropped, logger.line, dropped + "it names no " + row.name});
        }
    }

    void target_skipped(const XMLElement& target, const std::string& why) {
        if (wanted(Note::target_skipped)) {
            notes.push_back(
                {Note::target_skipped, target.line,
                 "target " + q(std::string(target.get_attribute(model.key_name))) + why});
        }
    }

    const VornConfig& model;
    const NoteFilter& filter;
    std::vector<Note>& notes;
    std::size_t left_out = 0;
};

// A logger is kept when one of its <target> children names a recorded
// target (the first logger of a name wins, and is kept by the same rule).
bool logger_kept(const VornConfig& model, const XMLElement& logger) {
    return std::any_of(logger.children.begin(), logger.children.end(), [&](const auto& child) {
        return child->name == model.key_target && model.targets.count(child->text) != 0;
    });
}

// The target element at which loading stopped: loading fails at the first
// one without children whose name no earlier element recorded, and records
// nothing after it, so its name is not in the table.
const XMLElement* stopping_target(const VornConfig& model) {
    for (const auto& child : model.xml_doc->root()->children) {
        if (child->name == model.key_target && child->children.empty() &&
            model.targets.count(std::string(child->get_attribute(model.key_name))) == 0) {
            return child.get();
        }
    }
    return nullptr;
}

}  // namespace

std::string nearest_name(const std::string& name, const std::vector<std::string>& known) {
    std::string best;
    std::size_t best_distance = 0;
    for (const std::string& candidate : known) {
        const std::size_t d = distance(name, candidate);
        // A third of the shorter name, at least 2: "file_size_maximum" is
        // still "file_size_max", "owner" is not "target".
        const std::size_t limit =
            std::max<std::size_t>(2, std::min(name.size(), candidate.size()) / 3);
        if (d <= limit && (best.empty() || d < best_distance)) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

std::vector<Note> config_notes(const VornConfig& model, bool loaded, const NoteFilter& filter,
                               std::size_t* left_out) {
    std::vector<Note> notes;
    const XMLElement* root = model.xml_doc != nullptr ? model.xml_doc->root() : nullptr;
    if (root == nullptr) {
        return notes;
    }
    Walk walk(model, filter, notes);
    const XMLElement* stop = loaded ? nullptr : stopping_target(model);
    const std::vector<std::string> top = names_in(Scope::top);
    std::set<std::string> defined;
    for (const auto& child : root->children) {
        if (child->name == model.key_target) {
            walk.record(*child, Scope::target);
            if (child->children.empty()) {
                // The one that stopped the load is said by the failure.
                if (child.get() != stop) {
                    walk.target_skipped(*child, " has no child elements");
                }
            } else if (!defined.insert(std::string(child->get_attribute(model.key_name))).second) {
                walk.target_skipped(*child, " is defined again; the later one is ignored");
            }
        } else if (child->name == model.key_logger) {
            walk.record(*child, Scope::logger);
            if (loaded && !logger_kept(model, *child)) {
                walk.dropped_logger(*child);
            }
        } else if (contains(top, child->name)) {
            walk.leaf(*child, "");
        } else {
            walk.unknown_element(*child, Scope::top, "");
        }
    }
    std::stable_sort(notes.begin(), notes.end(),
                     [](const Note& a, const Note& b) { return a.line < b.line; });
    if (left_out != nullptr) {
        *left_out = walk.left_out;
    }
    return notes;
}

void report_notes(const VornConfig& model, const std::string& path, bool loaded) {
    static const std::vector<Note::Kind> kinds{Note::unknown_element, Note::logger_dropped};
    std::size_t left_out = 0;
    for (const Note& note : config_notes(model, loaded, {&kinds, kNotesReported}, &left_out)) {
        report(path + ":" + decimal(note.line) + ": " + note.text);
    }
    if (left_out != 0) {
        report(path + ": " + decimal(left_out) +
               " more unknown elements or dropped loggers; vorn-check-config lists them all");
    }
}

LoadFailure load_failure(const VornConfig& model, const std::string& path) {
    LoadFailure failure;
    try {
        if (model.xml_doc != nullptr && model.xml_doc->root() != nullptr) {
            if (const XMLElement* stop = stopping_target(model)) {
                failure.line = stop->line;
                failure.reason = "target " + q(std::string(stop->get_attribute(model.key_name))) +
                                 " has no child elements; nothing after it is read";
            }
            return failure;
        }
        std::ifstream in(path);
        XMLDoc again;
        // Loads now only when the file changed meanwhile: no reason then.
        if (again.load(in) != 0) {
            failure.line = again.error_line();
            failure.column = again.error_column();
            failure.reason = again.error();
        }
    } catch (...) {
        failure = {};
    }
    return failure;
}

std::string place_and_reason(const LoadFailure& failure) {
    if (failure.reason.empty() || failure.line == 0) {
        return failure.reason;
    }
    std::string place = "line " + decimal(failure.line);
    if (failure.column != 0) {
        place += ", column " + decimal(failure.column);
    }
    return place + ": " + failure.reason;
}

}  // namespace zvk::detail
