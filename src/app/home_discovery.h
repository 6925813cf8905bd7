// Chooses the server's home directory and makes it the current directory:
// the configuration file, the data folders and the log are found relative to
// it.
#pragma once

#include <string>

// Applies the first rule that fits: a non-empty BRISVANE_HOME (must name a
// directory); "--conf" given (keep the current directory); "conf/serv.conf"
// below the current directory; the executable's directory or its parent when
// it holds "conf/serv.conf"; else the current directory. Returns 0 with
// *source set to "BRISVANE_HOME", "cwd (--conf)", "cwd", "exe dir",
// "exe parent dir" or "cwd (no conf found)"; returns 1011 after printing an
// error to standard error when BRISVANE_HOME is unusable.
// REQUIRES: no other thread depends on the current directory.
int discoverHome(bool confGiven, std::string* source);

// As above with the executable's path given, for tests.
int discoverHome(bool confGiven, const std::string& executable, std::string* source);
