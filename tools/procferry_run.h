// procferry-run: plays the relay's parent for a person at a command prompt.
// The files stack one way: this header holds what all of them share;
// options.cpp reads the command line; run.cpp starts the program through the
// parent library and follows it; print.cpp puts the outcome in words and
// JSON; demo.cpp and watchdog.cpp are the tool's two other modes; main.cpp
// picks the mode. run.cpp asks the library which file a name stands for;
// paths.cpp holds the paths the tool shows and starts from.
#ifndef PROCFERRY_RUN_H
#define PROCFERRY_RUN_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "procferry/parent.h"
#include "procferry/process.hpp"

// The tool's own exit statuses, those of env and timeout. Otherwise it exits
// with the child's status, which may of course be one of these too; --json
// tells them apart.
enum {
    RUN_EXIT_MISMATCH = 1,   // --demo: an argument did not arrive intact
    RUN_EXIT_TIMED_OUT = 124,
    RUN_EXIT_OWN_FAILURE = 125, // bad option, relay missing or failed, -C or a stream file
    RUN_EXIT_CANNOT_RUN = 126,  // the program was found but could not be run
    RUN_EXIT_NOT_FOUND = 127
};

// The exit status a child ended by the timeout is given: the one a shell shows
// for a child that timeout(1) ends with its TERM signal, so that
// --preserve-status gives what it gives there, and one apart from the tool's 124.
enum { RUN_TIMEOUT_CHILD_STATUS = 128 + 15 };
// After --kill-after, what timeout(1) gives when its KILL signal was needed:
// the tool's status, and the child's.
enum { RUN_EXIT_KILLED = 128 + 9, RUN_KILLED_CHILD_STATUS = 128 + 9 };

// The library's conversions, under short names.
using procferry::to_utf8;
using procferry::to_wide;

// "procferry-run: " and the text on stderr, at once.
inline void say(const std::string &text)
{
    std::string line = "procferry-run: " + text + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

std::wstring own_directory(); // with a trailing backslash
std::wstring full_path(const std::wstring &path);

#endif
