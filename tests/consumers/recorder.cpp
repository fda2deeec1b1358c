// The program planted at each place Windows tries for a value, and at the
// real one: each copy notes its starts in a file beside itself.
#include "recorder.h"

int wmain() { return recorder::Run(recorder::BesideSelf()); }
