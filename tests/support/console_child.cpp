// The tests' child in a pseudo console. It opens CONOUT$ and CONIN$ itself
// (wine connects no standard handle to a pseudo console) and does what its
// arguments say, in order:
//   size        write "size <columns>x<rows>" (the console's window)
//   echo        write "ready> ", read a line and write "got: <line>", until
//               the line "quit" or the input's end
//   lines N     write "line <i> of N" and padding to 100 characters, i from 1 to N
//   hold MS     sleep
//   spawn       start another console_child that holds 60 s, and write
//               "grandchild <pid>"
//   err         write "to stderr\r\n" to its standard error (a pipe or file)
//   exit N      end with status N (default 0)
// Each line written ends in "\r\n".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

static HANDLE screen, keys;

static void say(const std::string &text)
{
    DWORD written;
    WriteFile(screen, text.data(), (DWORD)text.size(), &written, nullptr);
}

// A line typed at the console, without its end; false at the input's end.
static bool read_line(std::string &line)
{
    line.clear();
    char c;
    DWORD got;
    while (ReadFile(keys, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n')
            return true;
        if (c != '\r')
            line += c;
    }
    return !line.empty();
}

int wmain(int argc, wchar_t **argv)
{
    screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    keys = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (screen == INVALID_HANDLE_VALUE)
        return 90;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring word = argv[i];
        const wchar_t *next = i + 1 < argc ? argv[i + 1] : L"0";
        if (word == L"size") {
            CONSOLE_SCREEN_BUFFER_INFO info;
            if (GetConsoleScreenBufferInfo(screen, &info))
                say("size " + std::to_string(info.srWindow.Right - info.srWindow.Left + 1) + "x" +
                    std::to_string(info.srWindow.Bottom - info.srWindow.Top + 1) + "\r\n");
            else
                say("size unknown\r\n");
        } else if (word == L"echo") {
            std::string line;
            for (;;) {
                say("ready> ");
                if (!read_line(line) || line == "quit")
                    break;
                say("got: " + line + "\r\n");
            }
        } else if (word == L"lines") {
            int count = _wtoi(next);
            ++i;
            for (int n = 1; n <= count; ++n) {
                std::string line = "line " + std::to_string(n) + " of " + std::to_string(count) + " ";
                line.resize(98, '.');
                say(line + "\r\n");
            }
        } else if (word == L"hold") {
            Sleep((DWORD)_wtoi(next));
            ++i;
        } else if (word == L"spawn") {
            wchar_t self[MAX_PATH];
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::wstring line = L"\"" + std::wstring(self) + L"\" hold 60000";
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION started;
            if (CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
                say("grandchild " + std::to_string(started.dwProcessId) + "\r\n");
                CloseHandle(started.hThread);
                CloseHandle(started.hProcess);
            }
        } else if (word == L"err") {
            DWORD written;
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), "to stderr\r\n", 11, &written, nullptr);
        } else if (word == L"exit") {
            status = _wtoi(next);
            ++i;
        }
    }
    return status;
}
