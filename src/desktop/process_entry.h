// The Linux process entry of brisvanesrv: the version switch, the choice of
// desktop or headless mode, the single-instance guard, the server thread and
// the exit path.
#pragma once

#include <atomic>
#include <string>

// The server thread's result: -1 while serverMain runs (for ever after a
// successful start), else its return value, or 9999 when it threw.
extern std::atomic<int> serverStartResult;

// True when an argument after the program name is exactly "--version" or
// "-v"; then "\nbrisvanesrv <version>\n" has been printed to standard output.
bool handleVersionArgument(int argc, char** argv);

// The lock file of the single-instance guard: BRISVANE_LOCK_FILE when set,
// else "brisvanesrv.lock" in XDG_RUNTIME_DIR, else
// "/tmp/brisvanesrv-<uid>.lock".
std::string instanceLockPath();

// The process exit code for a start-up result: 0 after "help" (1), else the
// low 8 bits of the code.
int exitCodeForStartResult(int code);

// The text that explains a start-up result code to the user: the start-up
// failure dialog's text, also printed on standard error without a display.
std::string startupErrorText(int code);

// The caption of the start-up failure dialog.
inline constexpr const char kStartupErrorCaption[] = "Brisvane 시작 오류";

// Runs serverMain with the arguments and stores its result in
// serverStartResult; exceptions are logged and stored as 9999.
void runServerThread(int argc, char** argv);

// The whole process: returns the exit code. With a display (DISPLAY or
// WAYLAND_DISPLAY) and without "--headless" the desktop shell runs the main
// loop; without one, or when the shell cannot be loaded or the display
// opened, the process runs headless.
int runProcess(int argc, char** argv);
