// procferry-console: the relay as a console-subsystem program.
#include "relay.h"

// Ask the runtime's start-up to expand wildcards in the narrow view.
extern "C" {
int _dowildcard = -1;
}

int main(int, char **)
{
    return relay_main("main");
}
