// The thread-local storage model of the library's hot thread-locals.
#pragma once

// Initial-exec: a plain offset from the thread pointer instead of a call
// that looks up the library's TLS block. Only for a few bytes, so that
// loading the library with dlopen still finds room for them in the static
// TLS block. Compilers without the attribute get the default model.
#if defined(__GNUC__)
#define ZVK_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define ZVK_INITIAL_EXEC
#endif
