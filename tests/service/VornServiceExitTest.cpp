// The stop at process exit writes what is queued; handles kept in static
// objects and atexit handlers that run after it still log safely.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

// Constructed before the service, so destroyed after its stop at exit.
struct App {
    Vorn log;
    ~App() { VORN_LOG(log, INFO, "bye"); }
};

TEST(VornServiceExit, StaticHandlesAndAtexitHandlersLogAfterTheStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static TempDir dir;  // removed after everything below
            enter_fresh_dir(dir);
            write_config("vorn_config.xml",
                         stdout_target("screen") + logger_record("app", "screen"));
            // Runs after the stop too; its handle is made after it.
            std::atexit([] { VORN_LOG(Vorn("app", 0), INFO, "late"); });
            static App app;
            app.log = Vorn("app", 0);
            for (int i = 0; i < 2000; ++i) {
                VORN_LOG(app.log, INFO, "queued " << i);
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "queued 1999\n.* INFO bye\n.* INFO late\n$");
}

}  // namespace
}  // namespace zvk::test
