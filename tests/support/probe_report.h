// Reading what the probe child wrote (see probe_child.cpp).
#ifndef PROCFERRY_PROBE_REPORT_H
#define PROCFERRY_PROBE_REPORT_H

#include <string>
#include <vector>

namespace parent {

struct probe_report {
    bool present = false;
    std::wstring command_line;
    std::vector<std::wstring> argv;
    std::wstring cwd;
    std::vector<int> fds;
    std::string modes; // of descriptors 0 to 2: t, b, or - when not open
    bool stdin_read = false;
    std::string stdin_bytes;
};

probe_report read_probe_report(const std::wstring &path);

// Sets the probe's environment for the next launch; an empty value removes it.
void set_probe_env(const char *name, const std::wstring &value);
void clear_probe_env();

} // namespace parent

#endif
