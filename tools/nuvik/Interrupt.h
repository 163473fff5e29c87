#pragma once

// Ctrl-C handling: the signal only raises a flag; the command loops look at it between
// polls of the camera, so an interrupted exposure is aborted through the driver and
// the camera is left usable.

namespace NuvikCli {

// Installs the SIGINT and SIGTERM handlers.
void InstallInterruptHandler();
bool Interrupted();
// Forgets an earlier Ctrl-C (for tests that go on after one).
void ClearInterrupt();

// Exit code of a command ended by Ctrl-C (128 + SIGINT, as shells report it).
inline constexpr int InterruptedExitCode = 130;

}  // namespace NuvikCli
