// A shared object that logs through VORN_LOG, for the tests that unload it
// while its records still wait: what they carry must not point into it.
#include "zvk/Vorn.h"

extern "C" __attribute__((visibility("default"))) void plugin_log(const zvk::Vorn& handle,
                                                                  int count) {
    for (int n = 0; n < count; ++n) {
        VORN_LOG(handle, INFO, "plugin " << n);
    }
}
