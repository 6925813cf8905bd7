// Unpacking an update archive (zip, read with libzip) into a fresh folder.
// Every entry is checked before a byte is written: an archive that would
// place anything outside the destination, or unpack to more than the limits
// allow, fails as a whole.
#pragma once

#include <cstdint>
#include <string>

struct UnpackLimits {
    uint64_t maxEntries = 65536;
    uint64_t maxEntryBytes = 1ull << 30;  // one unpacked file
    uint64_t maxTotalBytes = 4ull << 30;  // all files together
};

// Unpacks every entry of the archive at `archivePath` below `destination`
// (made with its parents), in archive order, keeping the entries' folder
// structure; files get the permission bits of the archive's Unix attributes
// (read and write for the owner at least, never set-id bits), else 0644.
//
// Refused before anything is written, with std::runtime_error naming the
// entry: a name that is empty, absolute, holds a backslash, a drive prefix
// ("C:") or a ".." component; a symbolic link or another special file; more
// than `limits.maxEntries` entries; a declared size above maxEntryBytes, or
// declared sizes above maxTotalBytes together. While unpacking, an entry
// that yields more bytes than it declared fails too (a lying header).
// Other failures: "failed to open zip: <path> (<reason>)", "failed to read
// zip entry info: index=<i>", "failed to extract zip entry: <name> (<reason>)"
// and file-system errors. Files written before a failure stay; the caller
// unpacks into a folder of its own. Thread-safe for different destinations.
void extractZip(const std::string& archivePath, const std::string& destination,
                const UnpackLimits& limits = UnpackLimits());
