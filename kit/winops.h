#pragma once
// What both the Wine driver and the acceptance kit do on the Windows side:
// exact registry reads and writes in either view, runs of a program with an
// exact command line whose message boxes are read and answered, and named
// mutexes held or abandoned. One header per concept; this one brings them all.
#include "boxes.h"
#include "mutexes.h"
#include "registry.h"
#include "runs.h"
