#include "CrashState.h"

#include <signal.h>

#include <cstdlib>

namespace zvk::detail {

std::atomic<int> crash_arrivals{0};
std::atomic<bool> crash_flush_on{false};

CrashStack::CrashStack() : memory(nullptr) {
    stack_t current{};
    if (!crash_flush_on.load() || sigaltstack(nullptr, &current) != 0 ||
        (current.ss_flags & SS_DISABLE) == 0) {
        return;
    }
    memory = std::malloc(kCrashStackSize);
    if (memory == nullptr) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kCrashStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        std::free(memory);
        memory = nullptr;
    }
}

CrashStack::~CrashStack() {
    if (memory == nullptr) {
        return;
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::free(memory);
}

}  // namespace zvk::detail
