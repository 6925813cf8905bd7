#include "mgmt/zip_unpack.h"

#include <sys/stat.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/file_io.h"

namespace fs = std::filesystem;

namespace {

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryReader = std::unique_ptr<zip_file_t, EntryCloser>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// One entry as checked before unpacking.
struct PlannedEntry {
    zip_uint64_t index;
    std::string name;
    fs::path target;
    bool folder;
    uint64_t size;
    mode_t mode;  // permission bits for files
};

[[noreturn]] void refuse(const std::string& name, const std::string& reason) {
    throw std::runtime_error("unsafe zip entry refused: \"" + name + "\" (" + reason + ")");
}

// The entry's name as a relative path of plain components; refuses what
// could leave the destination.
fs::path checkedRelativePath(const std::string& name) {
    if (name.empty()) refuse(name, "empty name");
    if (name.find('\\') != std::string::npos) refuse(name, "backslash in name");
    if (name.front() == '/') refuse(name, "absolute path");
    if (name.size() >= 2 && name[1] == ':') refuse(name, "drive prefix");
    fs::path relative;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part == "..") refuse(name, "\"..\" component");
        if (!part.empty() && part != ".") relative /= part;
        start = end + 1;
    }
    if (relative.empty()) refuse(name, "names no file");
    return relative;
}

// The Unix file type and permissions of the entry, when the archive was
// made on a Unix system.
bool unixMode(zip_t* archive, zip_uint64_t index, mode_t* mode) {
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) return false;
    if (system != ZIP_OPSYS_UNIX) return false;
    *mode = static_cast<mode_t>(attributes >> 16);
    return *mode != 0;
}

std::vector<PlannedEntry> planEntries(zip_t* archive, const fs::path& destination, const UnpackLimits& limits) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0) throw std::runtime_error("failed to read zip entry count");
    if (static_cast<uint64_t>(count) > limits.maxEntries) {
        throw std::runtime_error("zip has too many entries: " + std::to_string(count) + " (limit " +
                                 std::to_string(limits.maxEntries) + ")");
    }
    std::vector<PlannedEntry> plan;
    uint64_t total = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, i, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) ||
            !(stat.valid & ZIP_STAT_SIZE)) {
            throw std::runtime_error("failed to read zip entry info: index=" + std::to_string(i));
        }
        PlannedEntry entry{i, stat.name, {}, false, stat.size, 0644};
        entry.target = destination / checkedRelativePath(entry.name);
        entry.folder = entry.name.back() == '/';
        mode_t mode = 0;
        if (unixMode(archive, i, &mode)) {
            const mode_t type = mode & S_IFMT;
            if (type == S_IFDIR) {
                entry.folder = true;
            } else if (type != 0 && type != S_IFREG) {
                refuse(entry.name, type == S_IFLNK ? "symbolic link" : "special file");
            }
            // Owner read and write always; never write for group or others
            // (0755 and 0644 at most), never set-id or sticky bits.
            entry.mode = (mode & 0755) | 0600;
        }
        if (entry.folder && entry.size != 0) refuse(entry.name, "folder with content");
        if (entry.size > limits.maxEntryBytes) {
            refuse(entry.name, "unpacks to " + std::to_string(entry.size) + " bytes, limit " +
                                   std::to_string(limits.maxEntryBytes));
        }
        total += entry.size;
        if (total > limits.maxTotalBytes) {
            throw std::runtime_error("zip unpacks to more than " + std::to_string(limits.maxTotalBytes) + " bytes");
        }
        plan.push_back(std::move(entry));
    }
    return plan;
}

void extractFile(zip_t* archive, const PlannedEntry& entry) {
    const auto fail = [&](const std::string& reason) {
        throw std::runtime_error("failed to extract zip entry: " + entry.name + " (" + reason + ")");
    };
    EntryReader reader(zip_fopen_index(archive, entry.index, 0));
    if (!reader) fail(zip_strerror(archive));
    // Never through an existing link or special file at the target.
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(entry.target, ec);
    if (!ec && fs::exists(existing) && !fs::is_regular_file(existing)) fail("target exists and is not a file");
    std::unique_ptr<FILE, FileCloser> out(openStreamCloexec(entry.target.string(), "wb"));
    if (!out) fail(std::strerror(errno));
    std::vector<char> block(65536);
    uint64_t written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(reader.get(), block.data(), block.size());
        if (n < 0) fail(zip_file_strerror(reader.get()));
        if (n == 0) break;
        written += static_cast<uint64_t>(n);
        if (written > entry.size) fail("more data than its header declares");
        if (std::fwrite(block.data(), 1, static_cast<size_t>(n), out.get()) != static_cast<size_t>(n)) {
            fail(std::strerror(errno));
        }
    }
    if (written != entry.size) fail("less data than its header declares");
    if (std::fclose(out.release()) != 0) fail(std::strerror(errno));
    if (::chmod(entry.target.c_str(), entry.mode) != 0) fail(std::strerror(errno));
}

}  // namespace

void extractZip(const std::string& archivePath, const std::string& destination, const UnpackLimits& limits) {
    int error = 0;
    Archive archive(zip_open(archivePath.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!archive) {
        zip_error_t details;
        zip_error_init_with_code(&details, error);
        const std::string reason = zip_error_strerror(&details);
        zip_error_fini(&details);
        throw std::runtime_error("failed to open zip: " + archivePath + " (" + reason + ")");
    }
    const fs::path root(destination);
    const std::vector<PlannedEntry> plan = planEntries(archive.get(), root, limits);
    fs::create_directories(root);
    for (const PlannedEntry& entry : plan) {
        if (entry.folder) {
            fs::create_directories(entry.target);
            continue;
        }
        fs::create_directories(entry.target.parent_path());
        extractFile(archive.get(), entry);
    }
}
