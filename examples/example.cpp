// Several threads log through handles to the console and to a rotating log
// file; at the end the service is stopped (everything queued is written)
// and the log directory is listed.
#include <zvk/Vorn.h>
#include <zvk/VornInit.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kRecordsPerThread = 250;

void work(int id) {
    // Handles are cheap; each thread binds its own by logger name.
    zvk::Vorn log("worker");
    zvk::Vorn audit("audit");
    zvk::Vorn screen("main");
    for (int seq = 0; seq < kRecordsPerThread; ++seq) {
        VORN_LOG(log, DEBUG,
                 "thread " << id << " record " << seq << " payload "
                           << std::string(24, static_cast<char>('a' + id)));
        if (seq % 100 == 0) {
            VORN_LOG(audit, AUDIT, "thread " << id << " passed record " << seq);
        }
        // Filtered out ("audit" accepts AUDIT and below): costs one comparison.
        VORN_LOG(audit, TRACE, "never composed " << seq);
    }
    VORN_LOG(screen, INFO, "thread " << id << " done, " << kRecordsPerThread << " records");
}

}  // namespace

int main() {
    zvk::Vorn screen("main");
    if (!screen.logable(zvk::Vorn::INFO)) {
        std::cout << "no logger \"main\": is vorn_config.xml in the working directory?\n";
        return 1;
    }
    VORN_LOG(screen, INFO, "example starting, library " << screen.version());

    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back(work, id);
    }
    for (auto& t : threads) {
        t.join();
    }
    VORN_LOG(screen, WARN, "all threads done; stopping the service");

    // Writes everything still queued, then ends the workers. The handles
    // stay valid: they log nothing until the service is initialised again,
    // then follow that configuration.
    zvk::VornInit::reset_vorn_state();

    std::vector<std::filesystem::directory_entry> files(std::filesystem::directory_iterator("logs"),
                                                        std::filesystem::directory_iterator());
    std::sort(files.begin(), files.end());
    std::cout << "\nlogs/ after rotation (4 KiB limit, 4 files kept):\n";
    for (const auto& f : files) {
        std::cout << "  " << f.path().filename().string() << "  " << f.file_size() << " bytes\n";
    }
    return 0;
}
