// The hand-over of a record that is already bytes (VORN_LOGF's): the same
// path as a stream's text, through the thread's lane or the queue.
#include <string>
#include <string_view>

#include "Carrier.h"
#include "zvk/Target.h"

namespace zvk {

void Target::log(std::string_view text, int level, const Origin& origin) {
    if (detail::in_hand_over) [[unlikely]] {
        carrier->refuse_reentered();
        return;
    }
    detail::HandOverMark mark(true);
    if (carrier->to_lane(text, level, nullptr, origin)) [[likely]] {
        return;
    }
    std::string taken(text);
    carrier->enqueue(Queued{{}, level, false, nullptr, origin}, taken, false);
}

}  // namespace zvk
