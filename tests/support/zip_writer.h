// Update archives written by tests with libzip: plain files with Unix modes,
// symbolic links, names a safe unpacker must refuse, and headers that lie
// about an entry's size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ZipEntry {
    std::string name;     // stored as given, unchecked
    std::string content;  // file bytes, or the link target of a link
    unsigned mode = 0100644;  // Unix type and permission bits (S_IFLNK for a link)
    bool fromDisk = false;    // content is the path of a file to store (not compressed)
};

// Writes the archive to `path` (replacing it); fails the test on error.
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

// Rewrites the uncompressed size of the entry `name` in both its local
// header and the central directory (a zip bomb's lying header).
void forgeUncompressedSize(const std::string& path, const std::string& name, uint32_t size);

// The SHA-256 of a file's bytes as lower-case hexadecimal.
std::string sha256OfFile(const std::string& path);
