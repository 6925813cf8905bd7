// The runtime state file "work/.runtime.properties" and the process-wide
// values loaded from it. The server thread loads them during start-up; later
// the registration client and the management API rewrite keys.
//
// File syntax: one "KEY = value" per line, "#" starts a comment, the first
// "=" splits, key and value are trimmed, the last duplicate wins. Created
// files pad keys to 17 columns, rewritten lines pad them to 20.
//
// Every writer replaces the file as a whole (temporary file, fsync, rename),
// so a crash leaves the old or the new file. One process-wide mutex orders
// all reads and writes of the file and of the globals below.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "platform/file_io.h"

// The globals hold the values of the last successful load. Only this module
// writes them, under its mutex. The server thread may read them directly
// during start-up, before other threads exist; every other thread reads
// them through runtimePropertiesSnapshot() (brisvaneExport is atomic and
// may be read directly from any thread).
namespace runtimeprops {
extern std::string appId;                  // APP_ID
extern std::string createdAt;              // CREATED_AT
extern std::string brisvaneIdRegistration; // BRISVANE_ID, registration copy
extern std::string brisvaneIdRelay;        // BRISVANE_ID, relay copy
extern std::string apiBase;                // API_BASE
extern std::string apiKey;                 // BRISVANE_API_KEY
extern std::string token;                  // BRISVANE_TOKEN
extern std::atomic<bool> brisvaneExport;   // BRISVANE_EXPORT
extern std::string rtsHost;                // RTS_HOST
extern std::string firstAuthAt;            // FIRST_AUTH_AT
extern int expiresDays;                    // EXPIRES_DAYS
extern std::string appVersion;             // APP_VERSION
extern std::string appUpdatedAt;           // APP_UPDATED_AT
}  // namespace runtimeprops

// The relay service's fixed port.
inline constexpr int kRelayPort = 10815;

// A copy of all runtime property globals taken under the module's mutex.
struct RuntimePropertiesSnapshot {
    std::string appId;
    std::string createdAt;
    std::string brisvaneIdRegistration;
    std::string brisvaneIdRelay;
    std::string apiBase;
    std::string apiKey;
    std::string token;
    bool brisvaneExport = false;
    std::string rtsHost;
    std::string firstAuthAt;
    int expiresDays = 0;
    std::string appVersion;
    std::string appUpdatedAt;
};

// Consistent copy of the globals. Safe for concurrent use by multiple threads.
RuntimePropertiesSnapshot runtimePropertiesSnapshot();

// Path of the runtime state file: "work/.runtime.properties", relative to the
// home directory that start-up made the current directory.
std::string runtimePropertiesPath();

// Moves the file elsewhere (its folder is what firstStartup creates), with
// `onWriteStep` observing the steps of every durable write of it (none when
// empty). REQUIRES: no other thread uses this module. Meant for tests.
void setRuntimePropertiesPathForTesting(const std::string& path, DurableReplaceStepObserver onWriteStep = {});

// Empties every global (RTS_HOST included) and the export flag.
// REQUIRES: no other thread uses this module. Meant for tests.
void clearRuntimePropertiesForTesting();

// Makes sure the runtime state file exists and holds an installation id, and
// loads its values; stamps the program version. A new file is made only when
// the file is absent or holds no key at all; a file with keys but no APP_ID
// (or an empty one) gets a new APP_ID (and CREATED_AT when missing) added,
// every other line kept. A file that exists but cannot be read, or is no
// text, is reported and left untouched. Returns false, after logging (level
// 1) what failed, when the file could not be made or read, when the file
// system cannot say whether it exists, or when the version stamp cannot be
// written (a full disk; the values stay loaded); start-up goes on then.
// Never throws. Runs on the server thread during start-up.
bool firstStartup();

// Reads the file and sets the globals in the file's load order. Never
// throws: a missing or unreadable file is logged (level 2) and changes
// nothing; an EXPIRES_DAYS without a leading number is skipped (0) with a
// log line and every other key is still loaded.
// Safe for concurrent use by multiple threads.
void loadRuntimeProperties();

// Rewrites or appends each key of `values` in ascending key order: every
// line holding the key is replaced by "KEY<blanks to column 20>= value",
// other lines stay; a missing key is appended. The text is rebuilt in one
// pass and the file written once, durably, whatever the number of keys.
// Does not touch the globals (call loadRuntimeProperties).
// Throws std::invalid_argument, writing nothing, when a key fails
// isValidRuntimePropertyKey or a value has a runtimePropertyValueProblem;
// std::length_error, writing nothing, when the file would grow past
// kMaxRuntimePropertiesFileSize; std::runtime_error "Cannot write runtime
// properties: <path>" when the file cannot be written, and "Cannot read
// runtime properties: <path>" when it exists but cannot be read (it is never
// replaced then). Safe for concurrent use by multiple threads.
void updateRuntimeProperties(const std::map<std::string, std::string>& values);

// What the management API's PATCH does: updateRuntimeProperties, then, under
// the same lock, sets the globals of the keys that take effect at once and
// leaves every other global as it was: BRISVANE_ID sets only the
// registration copy (the relay copy follows at the next load), API_BASE,
// BRISVANE_API_KEY, BRISVANE_TOKEN and RTS_HOST (an empty one too) set their
// globals, BRISVANE_EXPORT sets the flag ("true" or "1" is on). SERV_IP and
// SERV_PORT are not globals of this module; the caller applies them. Throws
// what updateRuntimeProperties throws, changing no global then.
// Safe for concurrent use by multiple threads.
void patchRuntimeProperties(const std::map<std::string, std::string>& values);

// Replaces the file with the six created lines (two comments, a blank line,
// APP_ID, CREATED_AT, BRISVANE_EXPORT false). Throws std::runtime_error
// "Cannot write runtime properties: <path>" on failure, leaving the old file.
// Throws std::invalid_argument when the id or time holds CR or LF.
// Safe for concurrent use by multiple threads.
void createRuntimeProperties(const std::string& appId, const std::string& createdAt);

// Recreates the file keeping only the installation id (from the global, else
// from the file) and reloads. True when done or when there is no id to keep
// (nothing written); false, logged, when the write failed.
// Safe for concurrent use by multiple threads.
bool resetRuntimeProperties();

// Stores BRISVANE_EXPORT and, after a successful write, sets the global.
// False, logged, when the write failed (the global is unchanged then).
// Safe for concurrent use by multiple threads.
bool setExportFlag(bool enabled);

// Writes APP_UPDATED_AT and APP_VERSION when the loaded APP_VERSION differs
// from the program version, then reloads; writes nothing otherwise. Throws
// what updateRuntimeProperties throws. Safe for concurrent use by multiple threads.
void stampAppVersion();

// The key/value map of a properties text by the reading rules above. A line
// whose key or value (the part before any "#") holds a control character
// cannot be read back as it was meant and is skipped; its 1-based number is
// added to `unreadableLines` when given. Never fails.
std::map<std::string, std::string> parsePropertiesText(const std::string& text,
                                                       std::vector<size_t>* unreadableLines = nullptr);

// The whole file as bytes. Throws std::runtime_error "Cannot open file: <path>".
std::string readWholeFile(const std::string& path);

// The current UTC time, "%Y-%m-%dT%H:%M:%SZ". Safe for concurrent use.
std::string utcNowIso();

// Bounds on what the file stores, so one request cannot make it (and every
// start-up and listing that reads it) arbitrarily large. Lengths in bytes.
inline constexpr size_t kMaxRuntimePropertyKeyLength = 128;
inline constexpr size_t kMaxRuntimePropertyValueLength = 8192;
inline constexpr size_t kMaxRuntimePropertiesFileSize = 1024 * 1024;

// Whether a key may be written to the file: 1 to kMaxRuntimePropertyKeyLength
// of A-Z, 0-9 and "_".
bool isValidRuntimePropertyKey(const std::string& key);

// Why `value` cannot be written so that the reading rules give it back
// whole, or empty when it can. The reader cuts at "#", trims blanks at both
// ends and ends a line at LF; control characters (NUL above all) make a line
// the reader skips. So a value is refused for a line break ("must not hold a
// line break"), any other control character, a "#", a blank or tab at either
// end, or more than kMaxRuntimePropertyValueLength bytes. The text reads
// after the quoted key name, e.g. "\"X\" " + problem.
std::string runtimePropertyValueProblem(const std::string& value);
// runtimePropertyValueProblem(value) is empty.
bool isValidRuntimePropertyValue(const std::string& value);

// A random version-4 UUID, 36 lower-case characters, as installation id.
std::string makeInstallationId();
