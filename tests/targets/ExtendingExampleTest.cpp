#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../examples/extending/SyncedFileTarget.h"
#include "TestSupport.h"

namespace zvk::test {
namespace {

TEST(ExtendingExample, CustomTypeGetsEveryRecordOnceAndItsTick) {
    constexpr int kPerThread = 300;
    TempDir dir;
    const std::string path = dir.file("synced.log");
    {
        SyncedFileTarget target("synced", path);
        EXPECT_EQ(target.type, Target::CUSTOM_TARGET);
        ASSERT_EQ(target.start(nullptr), 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&target, t] {
                for (int n = 0; n < kPerThread; ++n) {
                    std::ostringstream text;
                    text << t << ' ' << n << '\n';
                    target.log(std::move(text), 5);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(target.flush(), 0);
        // The tick the type asked for follows the writes without a record.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (target.syncs() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(target.syncs(), 1u);
    }
    int next[3] = {};
    std::set<std::string> seen;
    for (const std::string& line : split_lines(read_file(path))) {
        EXPECT_TRUE(seen.insert(line).second) << "written twice: " << line;
        std::istringstream fields(line);
        int t = -1;
        int n = -1;
        fields >> t >> n;
        ASSERT_TRUE(t >= 0 && t < 3) << line;
        EXPECT_EQ(n, next[t]++);
    }
    EXPECT_EQ(seen.size(), 3u * kPerThread);
}

// The docs show these files whole: what they show is what the suite builds.
TEST(ExtendingExample, DocsShowTheBuiltFilesVerbatim) {
    const std::string doc = read_file(std::string(ZVK_SOURCE_DIR) + "/docs/extending.md");
    for (const char* file :
         {"examples/extending/SyncedFileTarget.h", "examples/testing/CaptureTargetTest.cpp"}) {
        const std::string text = read_file(std::string(ZVK_SOURCE_DIR) + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        EXPECT_NE(doc.find("```cpp\n" + text + "```\n"), std::string::npos)
            << file << " differs from its copy in docs/extending.md";
    }
}

}  // namespace
}  // namespace zvk::test
