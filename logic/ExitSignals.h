// The end of a session (logout, shutdown, Ctrl+C in a terminal) closes the program as its own
// Exit does, so that the settings are written. On POSIX SIGTERM, SIGINT and SIGHUP write a byte
// into a pipe whose read end the window watches (no polling); on Windows a console's close,
// Ctrl+C, logoff and shutdown events call back. Qt-free.
#pragma once

#include <functional>

#ifndef _WIN32
// Installs the handlers once; returns the pipe's read end (non-blocking), or -1 when it could
// not be made. Each signal makes one byte readable.
int InstallExitSignals();
// Reads what is there; returns how many signals came.
int DrainExitSignals(int Fd);
#else
// Close is called on the handler's own thread; the handler then waits (a few seconds at the
// most, as Windows allows) until ExitSignalHandled() says the settings are written.
bool InstallExitSignals(std::function<void()> Close);
void ExitSignalHandled();
#endif
