// STUB: replaced by the file target implementation.
#include "zvk/FileLog.h"

#include "zvk/Message.h"

namespace zvk {

bool FileLog::RotatedOrder::operator()(const std::string& a, const std::string& b) const {
    return a < b;
}
void FileLog::handler(int, siginfo_t*, void*) {}
FileLog::FileLog(const std::string& name)
    : Target(name, FILE_TARGET), fd(-1), max_files(0), rotated_name_len(0) {}
FileLog::~FileLog() { shutdown(); }
void FileLog::write_msg(Message* message) { delete message; }
int FileLog::init(const VornConfig*) { return -1; }
std::string FileLog::loc_time_us() { return {}; }
int FileLog::process_file_retention(DIR*) { return -1; }
int FileLog::delete_file(const std::string&) { return -1; }
int FileLog::rotate_file() { return -1; }

}  // namespace zvk
