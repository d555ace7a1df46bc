// Ending a child at its timeout ends what it started too: a child that is a
// shell or a script host leaves the real work to processes of its own, which
// would otherwise run on unseen, holding the console and any pipe of ours.
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "procferry/parent.h"
#include "procferry_run.h"

namespace {

struct tree_member {
    DWORD pid;
    HANDLE process;
    ULONGLONG created;
};

ULONGLONG creation_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (ULONGLONG)created.dwHighDateTime << 32 | created.dwLowDateTime;
}

bool in_tree(const std::vector<tree_member> &tree, DWORD pid)
{
    for (const tree_member &member : tree)
        if (member.pid == pid)
            return true;
    return false;
}

// One look at the process list: ends each process whose parent is in the
// tree and adds it. Process ids are reused, so a process counts as started by
// a member only when it is younger than that member. Returns how many joined.
size_t end_descendants(std::vector<tree_member> &tree, uint32_t exit_code)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<PROCESSENTRY32W> entries;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        entries.push_back(entry);
    CloseHandle(snapshot);

    size_t joined = 0;
    for (size_t parent = 0; parent < tree.size(); ++parent) {
        for (const PROCESSENTRY32W &candidate : entries) {
            if (candidate.th32ParentProcessID != tree[parent].pid ||
                in_tree(tree, candidate.th32ProcessID))
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION |
                                             SYNCHRONIZE,
                                         FALSE, candidate.th32ProcessID);
            if (!process)
                continue;
            ULONGLONG created = creation_time(process);
            if (created < tree[parent].created) {
                CloseHandle(process);
                continue;
            }
            procferry_child_kill(process, exit_code);
            tree.push_back({candidate.th32ProcessID, process, created});
            ++joined;
        }
    }
    return joined;
}

} // namespace

void end_process_tree(void *child, uint32_t pid, uint32_t exit_code)
{
    // The child first, so that it starts nothing more; then its descendants,
    // looked for again while the last look found new ones.
    procferry_child_kill(child, exit_code);
    std::vector<tree_member> tree = {{pid, nullptr, creation_time((HANDLE)child)}};
    for (int look = 0; look < 4 && end_descendants(tree, exit_code) > 0; ++look) {
    }
    for (const tree_member &member : tree)
        if (member.process)
            CloseHandle(member.process);
}
