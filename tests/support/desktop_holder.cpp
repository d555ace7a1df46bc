// Holds wine's desktop up for a whole test run. wine brings its desktop
// process up for the first window a program makes, started by that program,
// and ends it once nothing uses the desktop. A test child's first window
// would then start it inside the child's job: a stop gives it the rest of
// the grace period as something the child started, and ends it with the
// tree. The scripts start this program outside any job before the tests;
// it brings the desktop up and keeps it until the scripts end it, or for
// MAX_HOLD_MS should they not.
#include <windows.h>

static const DWORD MAX_HOLD_MS = 4 * 60 * 60 * 1000;

int main()
{
    if (!GetDesktopWindow())
        return 1;
    // The scripts start the tests once this line is out.
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "desktop up\n", 11, &written, nullptr);
    Sleep(MAX_HOLD_MS);
    return 0;
}
