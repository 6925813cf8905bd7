// Handing a program update over to the command-line tool: the server cannot
// replace its own files while it runs, so it starts `brisvane` from its own
// executable directory with an update word and returns at once. The tool
// stops and restarts the server itself.
#pragma once

#include <string>

// Starts "<executable dir>/brisvane <word> [--conf <configuration>]" as a
// detached process of its own session: working directory the server's
// working directory (its home), so the tool finds the same home and `work`
// folder by its configuration rules; standard output and error appended to
// "logs/app_update.log" below the home (the executable directory when the
// working directory cannot be read); no descriptor of the server inherited,
// so the restarted server can bind its port and take its lock. True when
// the process was created; every outcome is logged. Never throws for the
// ordinary failures. Any thread.
bool triggerLocalUpdate(const std::string& word);
