#include "probe_report.h"

#include <stdlib.h>
#include <fstream>
#include <sstream>

namespace parent {

static std::wstring units_from_hex(const std::string &hex)
{
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        text += (wchar_t)strtoul(hex.substr(i, 4).c_str(), nullptr, 16);
    return text;
}

probe_report read_probe_report(const std::wstring &path)
{
    probe_report report;
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file)
        return report;
    report.present = true;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string key, value;
        fields >> key;
        std::getline(fields >> std::ws, value);
        if (key == "cmdline")
            report.command_line = units_from_hex(value);
        else if (key == "arg")
            report.argv.push_back(units_from_hex(value));
        else if (key == "cwd")
            report.cwd = units_from_hex(value);
        else if (key == "modes")
            report.modes = value;
        else if (key == "fds") {
            std::istringstream numbers(value);
            int fd;
            while (numbers >> fd)
                report.fds.push_back(fd);
        } else if (key == "stdin") {
            report.stdin_read = true;
            for (size_t i = 0; i + 2 <= value.size() && value[i] != ' '; i += 2)
                report.stdin_bytes += (char)strtoul(value.substr(i, 2).c_str(), nullptr, 16);
        }
    }
    return report;
}

void set_probe_env(const char *name, const std::wstring &value)
{
    std::wstring assignment;
    for (const char *c = name; *c; ++c)
        assignment += (wchar_t)*c;
    assignment += L"=" + value;
    _wputenv(assignment.c_str());
}

void clear_probe_env()
{
    for (const char *name : {"PROBE_OUT", "PROBE_EXIT", "PROBE_READ_STDIN", "PROBE_WRITE",
                             "PROBE_SLEEP_MS", "PROBE_CRASH", "PROBE_ECHO",
                             "PROBE_WRITE_BYTES", "PROBE_PRINT_ENV", "PROBE_SPAWN",
                             "PROBE_ENV_HEX", "PROBE_RECORD", "PROBE_FD_WRITE", "PROBE_WINDOW"})
        set_probe_env(name, L"");
}

} // namespace parent
