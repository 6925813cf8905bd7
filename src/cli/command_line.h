// The tool's command line and where it finds its home and configuration.
// Plain functions without shared state; the tool runs on one thread.
#pragma once

#include <string>
#include <vector>

// What the arguments after the program name say.
struct CommandLine {
    std::string word;               // the command word; "" when none was given
    std::vector<std::string> args;  // further arguments, in order
    std::string confPath;           // the value of the last "--conf", as typed
    bool confGiven = false;         // a "--conf" with a value was seen
};

// Reads the arguments left to right: "--conf" followed by another argument
// takes that argument as the configuration path (a later one wins) wherever
// it stands; otherwise the first non-empty argument is the command word and
// the rest are arguments. A trailing "--conf" without value is an ordinary
// argument.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// Where the commands find the server's files.
struct HomeAndConf {
    std::string home;      // absolute folder: the started server's working directory
    std::string confPath;  // passed to the commands and the server as found
};

// With "--conf": the path as typed, and the home two levels above its
// absolute form (taken against the current directory); BRISVANE_HOME is not
// read. Without: resolveHomeAndConf().
HomeAndConf homeAndConfFor(const CommandLine& commandLine);

// Without "--conf": a non-empty BRISVANE_HOME (made absolute, nothing
// checked); else the first of the current directory, the executable's
// folder and its parent that holds "conf/serv.conf"; else the current
// directory with the relative path "conf/serv.conf".
HomeAndConf resolveHomeAndConf();

// The directory of the running executable; the current directory when the
// system does not say.
std::string exeDir();
