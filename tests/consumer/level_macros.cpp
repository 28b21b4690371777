// Built with every level name defined as a macro, as programs built with
// -DDEBUG or -DERROR=0 have them: every public header compiles, VORN_LOG
// takes the level names, and the program's macros keep their values.
#include <zvk/FileLog.h>
#include <zvk/JournalLog.h>
#include <zvk/Logger.h>
#include <zvk/Message.h>
#include <zvk/Origin.h>
#include <zvk/SyslogLog.h>
#include <zvk/Target.h>
#include <zvk/Vorn.h>
#include <zvk/VornConfig.h>
#include <zvk/VornExport.h>
#include <zvk/VornFormat.h>
#include <zvk/VornInit.h>
#include <zvk/VornService.h>
#include <zvk/XMLDoc.h>

static_assert(DEBUG == 1 && ERROR == 0, "the program's own macros are back after the headers");
static_assert(zvk::vorn_level::as_DEBUG == 7 && zvk::vorn_level::as_OUT == 0);

void log_every_level(const zvk::Vorn& handle) {
    VORN_LOG(handle, OUT, "out");
    VORN_LOG(handle, FATAL, "fatal");
    VORN_LOG(handle, ERROR, "error");
    VORN_LOG(handle, WARN, "warn");
    VORN_LOG(handle, AUDIT, "audit");
    VORN_LOG(handle, INFO, "info");
    VORN_LOG(handle, TRACE, "trace");
    VORN_LOG(handle, DEBUG, "debug " << 1);
    VORN_LOGF(handle, ERROR, "error {}", 2);
    VORN_LOGF(handle, DEBUG, "debug {}", 1);
}

// The owner id has a default: the shared logger of that name.
void log_with_default_owner() {
    zvk::Vorn handle("db");
    log_every_level(handle);
}
