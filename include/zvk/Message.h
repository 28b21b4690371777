#pragma once

#include <sstream>

#include "zvk/Origin.h"
#include "zvk/VornExport.h"

namespace zvk {

/// One record on its way to a target: the caller's composed text and its
/// level. Built on the producer's thread, owned by the target once queued,
/// destroyed by the target's worker after writing.
class ZVK_VORN_API Message {
public:
    /// An empty record at level 0 (OUT).
    Message();
    /// Takes over `text` (contents and formatting state); `text` is left
    /// valid and empty.
    Message(std::ostringstream&& text, int level);
    /// Takes over `other`'s text, level and origin.
    Message(Message&& other);
    /// Takes over `other`'s text, level and origin.
    Message& operator=(Message&& other);
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    virtual ~Message();

    int level;                ///< The record's level, a Vorn::Level value.
    std::ostringstream text;  ///< The caller's composed text.
    /// The logger, thread, time and source line of the record, filled in
    /// when it is handed over.
    Origin origin;
};

}  // namespace zvk
