// The simulator on a COM port of the test's platform: sim::SimServer on a pseudo-terminal on
// Linux; under Wine the same class over a line of the pty relay.
#pragma once

#include "Harness.h"

#if defined(_WIN32)
#include "../win32/RelaySimServer.h"
#else
#include "sim/SimServer.h"
#endif
