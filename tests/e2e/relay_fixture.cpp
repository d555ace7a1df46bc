#include "relay_fixture.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

void RelayTest::SetUp()
{
    parent::clear_probe_env();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    scratch_ = std::wstring(temp) + L"procferry-test-" + std::to_wstring(GetCurrentProcessId()) +
               L"-" + std::to_wstring(++counter) + L"\\";
    CreateDirectoryW(scratch_.c_str(), nullptr);
    parent::set_probe_env("PROBE_OUT", probe_out());
}

void RelayTest::TearDown()
{
    parent::clear_probe_env();
    remove_tree(scratch_);
}

std::wstring RelayTest::relay_path() const
{
    bool gui = std::string(GetParam()) == "gui";
    return parent::own_directory() + (gui ? L"procferry.exe" : L"procferry-console.exe");
}

std::wstring RelayTest::probe_path() const
{
    return parent::own_directory() + L"probe_child.exe";
}

parent::relay_request RelayTest::probe_request(const std::vector<std::wstring> &args) const
{
    parent::relay_request request;
    request.relay = relay_path();
    request.program = probe_path();
    request.args = args;
    return request;
}

std::string describe(const std::wstring &text)
{
    std::string out;
    char unit[12];
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else {
            snprintf(unit, sizeof unit, "\\u%04x", (unsigned)(unsigned short)c);
            out += unit;
        }
    }
    return out;
}

unsigned long setting(const char *name, unsigned long fallback)
{
    const char *text = getenv(name);
    return text && *text ? strtoul(text, nullptr, 0) : fallback;
}

bool under_emulation()
{
    return parent::emulated_limits();
}

bool is_null_write_crash(unsigned long status)
{
    return status == 0xC0000005ul || (under_emulation() && status == 0xC000001Dul);
}

void remove_tree(const std::wstring &path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = path + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(full + L"\\");
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}
