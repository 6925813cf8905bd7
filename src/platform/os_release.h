// Which operating system runs the program: /etc/os-release, with the
// kernel's own identity (uname) beside it.
#pragma once

#include <string>

struct OsRelease {
    bool found = false;     // a readable os-release with at least one key
    std::string id;         // ID, e.g. "debian"
    std::string name;       // NAME
    std::string prettyName; // PRETTY_NAME
    std::string versionId;  // VERSION_ID, e.g. "12"
};

struct KernelIdentity {
    std::string sysname;  // "Linux"; "" when uname fails
    std::string release;  // e.g. "6.1.0-18-amd64"
    std::string machine;  // e.g. "x86_64"
};

// From `text` in os-release syntax: KEY=value lines, values optionally in
// double or single quotes with backslash escapes inside double quotes,
// "#" comment lines. Unknown keys are ignored.
OsRelease parseOsRelease(const std::string& text);

// etcRoot + "/os-release", else the same under "/usr/lib" beside etcRoot
// (etcRoot + "/../usr/lib/os-release"); not found when neither reads.
OsRelease readOsRelease(const std::string& etcRoot);

// uname(2). Never throws.
KernelIdentity readKernelIdentity();
