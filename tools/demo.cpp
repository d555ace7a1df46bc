// --demo: the relay's main job on a ready-made case. The probe child that
// ships next to this tool writes down the arguments it received; each is
// shown beside the one that was sent.
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "probe_report.h"
#include "procferry_run.h"

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

int run_demo(run_options &run)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring report_path = std::wstring(temp) + L"procferry-demo-" +
                               std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(report_path.c_str());
    parent::set_probe_env("PROBE_OUT", report_path);

    std::vector<std::wstring> sent = hard_arguments();
    run.request.program = parent::own_directory() + L"probe_child.exe";
    run.request.args = sent;
    run.request.wait = true;
    run.request.argv0_marker = false;
    printf("procferry-run demo: %u hard arguments to %s through %s\n", (unsigned)sent.size(),
           parent::wide_to_utf8(file_name(run.request.program)).c_str(),
           parent::wide_to_utf8(file_name(run.request.relay)).c_str());
    fflush(stdout);

    launch_outcome outcome = run_launch(run);
    print_outcome(run, outcome);
    parent::probe_report report = parent::read_probe_report(report_path);
    DeleteFileW(report_path.c_str());
    if (outcome.kind != outcome_kind::exited)
        return outcome.exit_status;
    if (!report.present) {
        printf("the child wrote no report\n");
        return RUN_EXIT_MISMATCH;
    }

    // The child's argument zero is its own path; the hard ones follow.
    std::vector<std::wstring> received(report.argv.begin() + (report.argv.empty() ? 0 : 1),
                                       report.argv.end());
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
           shown(report.command_line).c_str());
    if (broken == 0)
        printf("all %u arguments arrived intact\n", (unsigned)sent.size());
    else
        printf("%u of %u arguments did not arrive intact\n", (unsigned)broken,
               (unsigned)sent.size());
    return broken == 0 ? 0 : RUN_EXIT_MISMATCH;
}
