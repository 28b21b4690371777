// One record on its way to a target: the caller's composed text and its
// level. Built on the producer's thread, owned by the target once queued,
// destroyed by the target's worker after writing.
#pragma once

#include <sstream>

#include "zvk/Origin.h"
#include "zvk/VornExport.h"

namespace zvk {

class ZVK_VORN_API Message {
public:
    Message();
    // Takes over `text` (contents and formatting state); `text` is left
    // valid and empty.
    Message(std::ostringstream&& text, int level);
    Message(Message&& other);
    Message& operator=(Message&& other);
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    virtual ~Message();

    int level;
    std::ostringstream text;
    // The logger, thread, time and source line of the record, filled in
    // when it is handed over.
    Origin origin;
};

}  // namespace zvk
