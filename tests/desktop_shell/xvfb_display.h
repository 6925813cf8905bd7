// A private X server (Xvfb) for the desktop tests of one test process.
#pragma once

#include <string>

// Starts Xvfb once per process on a display number it picks itself
// (-displayfd), 1600x1200, 24 bits, no TCP, and points DISPLAY at it; the
// server is stopped when the process ends. Returns the display name, or ""
// with `why` set when Xvfb cannot start (then tests fail with that reason).
std::string ensureXvfb(std::string* why);

// A private session bus (dbus-daemon) for this test process, started once;
// DBUS_SESSION_BUS_ADDRESS points at it. "" when it cannot be started (the
// tray indicator then has no bus).
std::string ensureSessionBus();

// ensureXvfb, then GTK initialised on that display (once). False with `why`
// set when either fails.
bool ensureGtk(std::string* why);

// Where the desktop tests write their screenshots: "desktop-screenshots"
// beside the build's bin folder (created).
std::string screenshotDir();
