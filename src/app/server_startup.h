// The server's main routine, run once on the server thread.
#pragma once

// Reads the command line, finds the home and the configuration, opens the
// log, reports the environment, runs firstStartup and initApp, starts the
// relay client when the device is exported, and then sleeps for the rest of
// the process. Returns only on failure or after "help", with the result code:
// 1 help, 1001 unknown option, 1002 "--conf" without a path, 1011 home or
// configuration unusable, 1104/1302 from initApp. Lets other exceptions pass
// (the caller reports 9999).
int serverMain(int argc, char** argv);

// The usage text that "help" prints.
const char* usageText();
