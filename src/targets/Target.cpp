// STUB: replaced by the target implementation.
#include "zvk/Target.h"

#include "zvk/Message.h"

namespace zvk {

Target::Target(const std::string& name, Type type)
    : name(name), type(type), state(STOPPED), stop_requested(false) {}
Target::~Target() {
    for (Message* m : queue) delete m;
}
void Target::write_msg(Message* message) { delete message; }
int Target::init(const VornConfig*) { return 0; }
int Target::start(const VornConfig*) { return -1; }
void Target::log(Message* message) { delete message; }
int Target::stop() { return 1; }
void Target::reset_state(State s) { state = s; }
void Target::receive_message() {}
void Target::shutdown() {}

}  // namespace zvk
