// procferry: the relay as a GUI-subsystem program, so that starting it opens
// no console window.
#include <windows.h>

#include "relay.h"

// Ask the runtime's start-up to expand wildcards in the narrow view.
extern "C" {
int _dowildcard = -1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return relay_main("WinMain");
}
