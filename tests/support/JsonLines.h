// Reads JSON lines back with a real parser (Python's json module, strict:
// a raw control character in a string fails it), for the tests of the
// JSON lines format. Debian's python3; the scripts install it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace zvk::test {

enum JsonField { kKeys, kTimeUs, kLevel, kLogger, kThread, kMessage, kFile, kLine, kFunc };

// Each line of `text` as its fields in JsonField order: the keys it has
// (comma-separated, in the order written), the time as µs since 1970
// ("bad time" when it is not RFC 3339 UTC with six digits), then the
// values, the message with backslash, tab and line end escaped as \\, \t
// and \n, "-" for an absent one. A line that does not parse as a JSON
// object ends the list with a last entry holding "unparsable: " and it.
inline std::vector<std::vector<std::string>> parse_json_lines(const std::string& text) {
    static constexpr const char* kScript = R"(import datetime, json, re, sys
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
def show(value):
    if value is None:
        return "-"
    return str(value).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
for raw in open(sys.argv[1], "rb"):
    try:
        line = raw.decode("utf-8")
        entry = json.loads(line)
        assert isinstance(entry, dict) and line.endswith("\n")
    except Exception:
        print("unparsable: " + show(raw.decode("utf-8", "replace")))
        break
    stamp = entry.get("time", "")
    if TIME.match(stamp):
        moment = datetime.datetime.fromisoformat(stamp)
        micros = (moment - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)) // datetime.timedelta(microseconds=1)
    else:
        micros = "bad time"
    fields = [",".join(entry), micros] + [entry.get(key) for key in
              ("level", "logger", "thread", "message", "file", "line", "func")]
    print("\t".join(show(field) for field in fields))
)";
    const std::string dir = cwd();
    write_file(dir + "/json_lines.py", kScript);
    write_file(dir + "/json_lines.in", text);
    std::vector<std::vector<std::string>> lines;
    const std::string out =
        command_output("python3 " + dir + "/json_lines.py " + dir + "/json_lines.in");
    for (const std::string& line : split_lines(out)) {
        if (!line.empty()) {
            lines.push_back(split_fields(line, '\t'));
        }
    }
    return lines;
}

}  // namespace zvk::test
