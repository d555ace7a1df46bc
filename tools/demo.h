// --demo: hard arguments sent to a copy of this tool, shown as they arrived.
#ifndef PROCFERRY_RUN_DEMO_H
#define PROCFERRY_RUN_DEMO_H

#include "run.h"

// The demo's child: writes down what it received. -1 when not asked for.
int run_demo_child_if_asked(int argc, wchar_t **argv);
int run_demo(run_options &options);

#endif
