// A direct start and a start through the relay, given the same random
// options, must look the same to the child: the same outcome, and the probe
// reports the same vector (as its runtime splits it), command text, working
// directory, open descriptors and bytes read from stdin, and writes the same
// to the extra descriptors it is given. The only difference
// allowed is the one the child cannot be kept from seeing: its parent process
// (the relay, or the caller), which the probe does not report. The seed is
// printed; PROCFERRY_SEED replays a run, PROCFERRY_VECTORS sets the count.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <map>
#include <string.h>
#include <sstream>

#include "argument_generator.h"
#include "relay_fixture.h"

namespace {

// What one start gave: its outcome and the probe's report.
struct seen {
    int kind = 0, error = 0;
    uint32_t exit_status = 0;
    parent::probe_report report;
    std::string side; // what came on the side channel, an extra descriptor
    std::string text() const
    {
        std::ostringstream out;
        out << procferry_kind_name(kind) << " errno " << error << " status " << exit_status;
        if (!report.present)
            return out.str() + ", no report";
        out << "\n  command text \"" << describe(report.command_line) << "\"\n  cwd \""
            << describe(report.cwd) << "\"\n  fds";
        for (int fd : report.fds)
            out << ' ' << fd;
        out << "\n  modes " << report.modes << "\n  stdin " << report.stdin_bytes.size() << " bytes\n  side \"" << side << "\"\n";
        for (size_t i = 0; i < report.argv.size(); ++i)
            out << "  [" << i << "] \"" << describe(report.argv[i]) << "\"\n";
        return out.str();
    }
    bool operator==(const seen &other) const
    {
        return kind == other.kind && error == other.error && exit_status == other.exit_status &&
               report.present == other.report.present &&
               report.command_line == other.report.command_line && report.argv == other.report.argv &&
               report.cwd == other.report.cwd && report.fds == other.report.fds &&
               report.modes == other.report.modes &&
               report.stdin_read == other.report.stdin_read &&
               report.stdin_bytes == other.report.stdin_bytes && side == other.side;
    }
};

} // namespace

class DirectMatchesRelay : public RelayTest {};
// The parameter names the relay the direct start is held against.
INSTANTIATE_FOR_BOTH_RELAYS(DirectMatchesRelay);

TEST_P(DirectMatchesRelay, RandomStartsLookTheSameToTheChild)
{
    const unsigned long seed = setting("PROCFERRY_SEED", 20240611);
    const unsigned long vectors = setting("PROCFERRY_VECTORS", 300) / 3;
    std::cout << "seed " << seed << " (PROCFERRY_SEED), " << vectors << " starts each way\n";
    argument_generator generator(seed);

    const std::wstring own = parent::own_directory(), probe = probe_path(), relay = relay_path();
    const std::wstring sub = scratch() + L"sub dir", file = scratch() + L"plain.txt";
    const std::wstring script = scratch() + L"run probe.bat", input = scratch() + L"input.bin";
    CreateDirectoryW(sub.c_str(), nullptr);
    FILE *written = _wfopen(script.c_str(), L"wb");
    fprintf(written, "@\"%s\" %%*\r\n", procferry::to_utf8(probe).c_str());
    fclose(written);
    written = _wfopen(file.c_str(), L"wb");
    fclose(written);
    const std::wstring search_path = L"PATH=" + own.substr(0, own.size() - 1);
    const std::wstring missing = scratch() + L"no-such";
    // Drive-relative directories are read by the child's block: its "=C:"
    // entry names C:'s directory, not the caller's own (the tests run on
    // another drive, so that C: is not the current one).
    const std::wstring drive_a = L"C:\\pf-dm-a-" + std::to_wstring(GetCurrentProcessId()),
                       drive_b = L"C:\\pf-dm-b-" + std::to_wstring(GetCurrentProcessId());
    for (const std::wstring &folder : {drive_a, drive_a + L"\\sub", drive_b, drive_b + L"\\sub"})
        CreateDirectoryW(folder.c_str(), nullptr);
    SetEnvironmentVariableW(L"=C:", drive_b.c_str());
    const std::wstring drive_entry = L"=C:=" + drive_a;
    // Images the system refuses to start: a library, and a program of
    // another machine (the probe, marked as ARM64).
    wchar_t system_dir[MAX_PATH];
    GetSystemDirectoryW(system_dir, MAX_PATH);
    const std::wstring library = std::wstring(system_dir) + L"\\kernel32.dll",
                       arm64 = scratch() + L"arm64 probe.exe";
    CopyFileW(probe.c_str(), arm64.c_str(), FALSE);
    HANDLE image = CreateFileW(arm64.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD pe_offset = 0, moved = 0;
    SetFilePointer(image, 0x3c, nullptr, FILE_BEGIN);
    ReadFile(image, &pe_offset, 4, &moved, nullptr);
    SetFilePointer(image, pe_offset + 4, nullptr, FILE_BEGIN);
    const unsigned char arm64_machine[2] = {0x64, 0xaa};
    WriteFile(image, arm64_machine, 2, &moved, nullptr);
    CloseHandle(image);
    const std::wstring dirs[] = {sub, sub + L"\\", scratch(), missing, file, L".",
                                 L"\\\\?\\" + sub, L"C:sub", scratch() + L"no*such",
                                 scratch() + L"a?b", scratch() + L"x<y"};
    const size_t dir_count = sizeof dirs / sizeof dirs[0];
    parent::set_probe_env("PROBE_READ_STDIN", L"1");
    parent::set_probe_env("PROBE_FD_WRITE", L"3,4,5");

    int failures = 0;
    std::map<std::string, int> outcomes; // what the starts covered, for the log
    for (unsigned long n = 0; n < vectors && failures < 5; ++n) {
        std::vector<std::wstring> args;
        int count = generator.pick(0, 4) == 0 ? generator.pick(0, 2) : generator.pick(1, 12);
        for (int i = 0; i < count; ++i)
            args.push_back(generator.argument());
        procferry_options o;
        procferry_options_init(&o);
        o.timeout_ms = 20000;
        std::wstring program = probe, zero;
        std::vector<const wchar_t *> env;
        switch (generator.pick(0, 11)) {
        case 0: // a batch file, whose arguments may be refused
            program = script;
            break;
        case 1: // a bare name on the child's own PATH
            program = L"probe_child";
            env.push_back(search_path.c_str());
            break;
        case 2:
            program = missing + L".exe";
            break;
        case 3:
            program = library;
            break;
        case 4:
            program = arm64;
            break;
        }
        if (generator.pick(0, 4) == 0) {
            zero = generator.program_name();
            args.insert(args.begin(), zero);
            o.flags |= PROCFERRY_ARGV0;
        }
        std::vector<const wchar_t *> arg_pointers;
        for (const std::wstring &arg : args)
            arg_pointers.push_back(arg.c_str());
        o.program = program.c_str();
        o.args = arg_pointers.data();
        o.arg_count = arg_pointers.size();
        int dir_choice = generator.pick(0, (int)dir_count + 3);
        o.dir = dir_choice < (int)dir_count ? dirs[dir_choice].c_str() : nullptr;
        if (generator.pick(0, 2) == 0)
            env.push_back(drive_entry.c_str());
        // A cleared environment holds only the changes: the probe's own
        // settings go among them.
        std::vector<std::wstring> kept;
        if (generator.pick(0, 5) == 0) {
            o.flags |= PROCFERRY_CLEAR_ENV;
            for (const char *name : {"PROBE_OUT", "PROBE_READ_STDIN", "PROBE_FD_WRITE"}) {
                std::wstring wide(name, name + strlen(name));
                kept.push_back(wide + L"=" + _wgetenv(wide.c_str()));
            }
            for (const std::wstring &entry : kept)
                env.push_back(entry.c_str());
        }
        o.env = env.data();
        o.env_count = env.size();
        if (generator.pick(0, 3) == 0)
            o.flags |= PROCFERRY_BINARY_STREAMS;
        // stdin: bytes the text mode changes (CR LF, ^Z) or the null device.
        std::string bytes;
        for (int i = generator.pick(0, 40); i > 0; --i)
            bytes += "a\r\n\x1a\xff"[generator.pick(0, 4)];
        written = _wfopen(input.c_str(), L"wb");
        fwrite(bytes.data(), 1, bytes.size(), written);
        fclose(written);
        HANDLE in = CreateFileW(input.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
        if (generator.pick(0, 2) == 0)
            o.streams[0].kind = PROCFERRY_STREAM_NULL;
        else
            o.streams[0] = {PROCFERRY_STREAM_HANDLE, 0, in};
        o.streams[1].kind = generator.pick(0, 1) ? PROCFERRY_STREAM_NULL : PROCFERRY_STREAM_INHERIT;
        o.streams[2].kind = generator.pick(0, 1) ? PROCFERRY_STREAM_NULL : PROCFERRY_STREAM_STDOUT;
        // Descriptors from 3: none, the null device, a side channel, the input file.
        std::vector<int> extra_kinds;
        for (int i = generator.pick(0, 1) == 0 ? generator.pick(1, 3) : 0; i > 0; --i)
            extra_kinds.push_back(generator.pick(0, 3));

        seen ways[2];
        for (int way = 0; way < 2; ++way) {
            procferry_options started = o;
            started.relay = way == 0 ? relay.c_str() : nullptr;
            procferry_handle side_read, side_write;
            EXPECT_EQ(procferry_pipe_make(&side_read, &side_write), 0);
            std::vector<procferry_stream> extra;
            for (int kind : extra_kinds)
                extra.push_back(kind == 0   ? procferry_stream{PROCFERRY_STREAM_NONE, 0, nullptr}
                                : kind == 1 ? procferry_stream{PROCFERRY_STREAM_NULL, 0, nullptr}
                                : kind == 2 ? procferry_stream{PROCFERRY_STREAM_HANDLE, 0, side_write}
                                            : procferry_stream{PROCFERRY_STREAM_HANDLE, 0, in});
            started.extra_fds = extra.data();
            started.extra_fd_count = extra.size();
            SetFilePointer(in, 0, nullptr, FILE_BEGIN);
            DeleteFileW(probe_out().c_str());
            procferry_result result;
            ways[way].kind = procferry_start(&started, &result);
            ways[way].error = result.error;
            ways[way].exit_status = result.exit_status;
            ways[way].report = probe_report();
            procferry_pipe_close(side_write);
            int side_fd = _open_osfhandle((intptr_t)side_read, _O_RDONLY | _O_BINARY);
            bool ended = false;
            ways[way].side = parent::read_pipe_until_eof(side_fd, 5000, &ended);
            EXPECT_TRUE(ended) << "the side channel is still held";
            _close(side_fd);
        }
        CloseHandle(in);
        ++outcomes[std::string(procferry_kind_name(ways[1].kind)) + " errno " + std::to_string(ways[1].error)];
        if (!ways[1].side.empty())
            ++outcomes["a side channel written to"];
        if (!(ways[0] == ways[1])) {
            ++failures;
            std::ostringstream sent;
            for (size_t i = 0; i < args.size(); ++i)
                sent << "  [" << i << "] \"" << describe(args[i]) << "\"\n";
            ADD_FAILURE() << "start " << n << " of seed " << seed << ": program "
                          << describe(program) << ", dir "
                          << (o.dir ? describe(o.dir) : std::string("(none)")) << ", flags " << o.flags
                          << ", streams " << o.streams[0].kind << o.streams[1].kind << o.streams[2].kind
                          << ", extra descriptors " << extra_kinds.size()
                          << "\nsent:\n" << sent.str() << "through the relay: " << ways[0].text()
                          << "\ndirect: " << ways[1].text();
        }
    }
    SetEnvironmentVariableW(L"=C:", nullptr);
    for (const std::wstring &folder : {drive_a + L"\\sub", drive_a, drive_b + L"\\sub", drive_b})
        RemoveDirectoryW(folder.c_str());
    for (const auto &outcome : outcomes)
        std::cout << outcome.second << " x " << outcome.first << "\n";
}
