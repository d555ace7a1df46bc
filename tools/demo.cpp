// --demo: the relay's main job on a ready-made case. A copy of this tool
// plays the child: it writes down the command text and the arguments it
// received, and each is shown beside the one that was sent.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "demo.h"
#include "print.h"

// Set for the demo's child only: where it writes what it received.
static const wchar_t DEMO_CHILD_VARIABLE[] = L"PROCFERRY_RUN_DEMO_CHILD";

// Arguments that a naive join-with-blanks, or a quoting with the backslash
// rules slightly wrong, would break.
static std::vector<std::wstring> hard_arguments()
{
    return {
        L"plain",
        L"two words",
        L"",
        L"\"",
        L"say \"hi\"",
        L"back\\slash",
        L"ends in backslash\\",
        L"backslash before quote\\\"",
        L"\\\\server\\share\\",
        L"tab\there",
        L"caf\u00e9 \u4e2d\u6587",
        L"non-BMP \U0001F600",
        L"*.txt",
    };
}

// Printable ASCII as is, everything else as \u{...}, so that the table reads
// the same on any console. A surrogate pair shows as one code point.
static std::string shown(const std::wstring &text)
{
    std::string out = "[";
    char escaped[16];
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned unit = (unsigned short)text[i];
        if (unit >= 0x20 && unit < 0x7f) {
            out += (char)unit;
            continue;
        }
        unsigned point = unit;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size()) {
            unsigned low = (unsigned short)text[i + 1];
            if (low >= 0xDC00 && low < 0xE000) {
                point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        snprintf(escaped, sizeof escaped, "\\u{%x}", point);
        out += escaped;
    }
    return out + "]";
}

static std::wstring file_name(const std::wstring &path)
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

// The child's side: its command text and each argument as the runtime split
// them, in UTF-16, each ended by a zero, so that any text survives.
int run_demo_child_if_asked(int argc, wchar_t **argv)
{
    const wchar_t *report_path = _wgetenv(DEMO_CHILD_VARIABLE);
    if (!report_path || !*report_path)
        return -1;
    FILE *report = _wfopen(report_path, L"wb");
    if (!report)
        return RUN_EXIT_OWN_FAILURE;
    const wchar_t *command_text = GetCommandLineW();
    fwrite(command_text, sizeof(wchar_t), wcslen(command_text) + 1, report);
    for (int i = 0; i < argc; ++i)
        fwrite(argv[i], sizeof(wchar_t), wcslen(argv[i]) + 1, report);
    return fclose(report) == 0 ? 0 : RUN_EXIT_OWN_FAILURE;
}

// The command text and then the arguments the child wrote down.
static std::vector<std::wstring> read_child_report(const std::wstring &path)
{
    std::vector<std::wstring> entries;
    FILE *report = _wfopen(path.c_str(), L"rb");
    if (!report)
        return entries;
    std::wstring text;
    wchar_t buffer[4096];
    size_t count;
    while ((count = fread(buffer, sizeof(wchar_t), sizeof buffer / sizeof buffer[0], report)) > 0)
        text.append(buffer, count);
    fclose(report);
    for (size_t start = 0, end; (end = text.find(L'\0', start)) != std::wstring::npos;
         start = end + 1)
        entries.push_back(text.substr(start, end - start));
    return entries;
}

int run_demo(run_options &run)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring report_path = std::wstring(temp) + L"procferry-demo-" +
                               std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(report_path.c_str());

    std::vector<std::wstring> sent = hard_arguments();
    run.program = own_directory() + L"procferry-run.exe";
    run.args = sent;
    run.wait = true;
    run.has_argv0 = false;
    run.env.push_back(std::wstring(DEMO_CHILD_VARIABLE) + L"=" + report_path);
    std::wstring relay = !run.relay.empty() ? file_name(run.relay)
                         : run.gui_relay    ? L"procferry.exe"
                                            : L"procferry-console.exe";
    printf("procferry-run demo: %u hard arguments to a copy of procferry-run.exe through %s\n",
           (unsigned)sent.size(), to_utf8(relay).c_str());
    fflush(stdout);

    launch_outcome outcome = run_launch(run);
    std::vector<std::wstring> report = read_child_report(report_path);
    DeleteFileW(report_path.c_str());
    bool exited = outcome.ended && !outcome.timed_out;
    if (!exited || outcome.exit_status != 0) {
        int status = print_outcome(run, outcome, nullptr);
        return exited ? RUN_EXIT_OWN_FAILURE : status;
    }
    if (report.empty()) {
        say("the demo's child wrote no report");
        return RUN_EXIT_OWN_FAILURE;
    }

    // The command text comes first, then the child's argument zero, its own
    // path; the hard ones follow.
    std::vector<std::wstring> received(report.begin() + std::min<size_t>(2, report.size()),
                                       report.end());
    size_t width = 0;
    for (const std::wstring &arg : sent)
        width = std::max(width, shown(arg).size());
    printf("  #  %-*s  %s\n", (int)width, "sent", "received");
    size_t broken = 0;
    for (size_t i = 0; i < std::max(sent.size(), received.size()); ++i) {
        std::string sent_text = i < sent.size() ? shown(sent[i]) : "(none)";
        std::string got_text = i < received.size() ? shown(received[i]) : "(missing)";
        bool intact = i < sent.size() && i < received.size() && sent[i] == received[i];
        broken += intact ? 0 : 1;
        printf("%3u  %-*s  %-*s  %s\n", (unsigned)(i + 1), (int)width, sent_text.c_str(),
               (int)width, got_text.c_str(), intact ? "intact" : "CHANGED");
    }
    printf("command text the child received:\n  %s\n",
           shown(report[0]).c_str());
    if (broken == 0)
        printf("all %u arguments arrived intact\n", (unsigned)sent.size());
    else
        printf("%u of %u arguments did not arrive intact\n", (unsigned)broken,
               (unsigned)sent.size());
    return broken == 0 ? 0 : RUN_EXIT_MISMATCH;
}
