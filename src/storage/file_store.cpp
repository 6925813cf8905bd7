#include "storage/file_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>

#include "base/logger.h"
#include "platform/file_io.h"

namespace {

constexpr int kNameCandidates = 20;

// Status of `path`: 1 exists, 0 absent, -1 cannot be told (any other error).
int pathStatus(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return 1;
    return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
}

[[noreturn]] void throwPlainStoreRefused(const std::string& path) {
    throw FileStoreException(FileStoreException::kPlainStore,
                             "storage is not encrypted although this mivrel requires encryption; "
                             "empty the storage to re-create it encrypted: " + path);
}

// Four lower-case hex digits from `source`, or without one from one
// process-wide generator, seeded once from the system's random device.
std::string randomSuffix(uint32_t (*source)()) {
    static std::mutex mu;
    static std::mt19937 generator{std::random_device{}()};
    uint32_t value;
    if (source) {
        value = source();
    } else {
        std::lock_guard<std::mutex> lock(mu);
        value = generator();
    }
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(value & 0xFFFF));
    return text;
}

std::string localTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

void FileStore::setGeneratedNameSource(uint32_t (*source)()) {
    std::lock_guard<std::mutex> lock(mu_);
    nameSource_ = source;
}

void validateFileName(const std::string& name) {
    if (!isValidFileName(name))
        throw FileStoreException(FileStoreException::kInvalidName, "invalid file name: " + name);
}

std::string fileReference(const std::string& name) { return "files/" + name; }

void FileStore::configure(const std::string& path, bool encrypted) {
    std::lock_guard<std::mutex> lock(mu_);
    path_ = path;
    encrypted_ = encrypted;
}

std::string FileStore::path() const {
    std::lock_guard<std::mutex> lock(mu_);
    return path_;
}

bool FileStore::encryptedConfigured() const {
    std::lock_guard<std::mutex> lock(mu_);
    return encrypted_;
}

StorageKey FileStore::open(const std::string& token, bool create) {
    std::lock_guard<std::mutex> lock(mu_);
    return openLocked(token, create);
}

std::string FileStore::openAndSaveGeneratedFile(const std::string& token, const std::string& prefix,
                                                const std::string& extension, std::span<const uint8_t> data) {
    std::lock_guard<std::mutex> lock(mu_);
    StorageKey key = openLocked(token, true);
    try {
        std::string name = saveLocked(prefix, extension, data, key);
        wipeKey(key);
        return name;
    } catch (...) {
        wipeKey(key);
        throw;
    }
}

StorageKey FileStore::openLocked(const std::string& token, bool create) {
    if (!storage_.isOpen()) {
        const int status = pathStatus(path_);
        if (status < 0) throw FileStoreException(FileStoreException::kIo, "cannot open storage: " + path_);
        if (status > 0) {
            storage_.open(path_);
        } else if (!create) {
            if (encrypted_ && token.empty())
                throw FileStoreException(FileStoreException::kKeyRequired, "storage key (Bearer) is required");
            return StorageKey{};
        } else {
            // A failure here shows in the create that follows.
            std::error_code ignored;
            std::filesystem::create_directories(parentDirectory(path_), ignored);
            if (encrypted_) {
                StorageKey key = storage_.createEncrypted(path_, token);
                logMessage(4, "[FileStore] 암호화 저장소 생성: %s", path_.c_str());
                return key;
            }
            storage_.open(path_);
            logMessage(4, "[FileStore] 저장소 생성: %s", path_.c_str());
        }
    }
    if (encrypted_ && !storage_.isEncrypted()) {
        logMessage(2, "[FileStore] 암호화 Mivrel 인데 저장소가 평문입니다: %s", path_.c_str());
        if (create) {
            // New data must not land in plain text. An empty container holds
            // nothing to lose and is made again encrypted.
            if (!storage_.list().empty()) throwPlainStoreRefused(path_);
            StorageKey key = storage_.createEncrypted(path_, token);
            logMessage(4, "[FileStore] 암호화 저장소 생성: %s", path_.c_str());
            return key;
        }
    }
    return storage_.unlock(token);
}

bool FileStore::exists(const std::string& name) const { return storage_.exists(name); }

std::vector<StoredFileInfo> FileStore::list() const { return storage_.list(); }

bool FileStore::stat(const std::string& name, StoredFileInfo& out) const { return storage_.stat(name, out); }

Bytes FileStore::read(const std::string& name, const StorageKey& key) {
    validateFileName(name);
    if (!key.valid) throw FileStoreException(FileStoreException::kNotFound, "file not found: " + name);
    return storage_.read(name, key);
}

Bytes FileStore::readRange(const std::string& name, uint64_t offset, uint64_t length, const StorageKey& key) {
    validateFileName(name);
    if (!key.valid) throw FileStoreException(FileStoreException::kNotFound, "file not found: " + name);
    return storage_.readRange(name, offset, length, key);
}

bool FileStore::remove(const std::string& name, const StorageKey& key) {
    validateFileName(name);
    if (!key.valid) return false;
    return storage_.remove(name, key);
}

std::string FileStore::saveGeneratedFile(const std::string& prefix, const std::string& extension,
                                         std::span<const uint8_t> data, const StorageKey& key) {
    std::lock_guard<std::mutex> lock(mu_);
    return saveLocked(prefix, extension, data, key);
}

std::string FileStore::saveLocked(const std::string& prefix, const std::string& extension,
                                  std::span<const uint8_t> data, const StorageKey& key) {
    if (!storage_.isOpen() || !key.valid)
        throw FileStoreException(FileStoreException::kIo, "file storage is not ready: " + path_);
    if (encrypted_ && !storage_.isEncrypted()) throwPlainStoreRefused(path_);

    const std::string stamp = localTimeStamp();
    std::string name;
    bool free = false;
    for (int attempt = 0; attempt < kNameCandidates && !free; ++attempt) {
        name = prefix + "-" + stamp + "-" + randomSuffix(nameSource_) + "." + extension;
        free = !storage_.exists(name);
    }
    // Every candidate is taken: refuse rather than replace a stored file.
    if (!free) {
        throw FileStoreException(FileStoreException::kIo, "cannot find a free name for a generated file: " + prefix +
                                                              "-" + stamp + "-*." + extension);
    }
    validateFileName(name);
    storage_.write(name, data, "", 0, key);
    logMessage(9, "[FileStore] 저장: %s (%zu bytes)", name.c_str(), data.size());
    return name;
}

bool FileStore::truncate() {
    std::lock_guard<std::mutex> lock(mu_);
    storage_.close();
    ::unlink((path_ + ".tmp").c_str());
    if (pathStatus(path_) <= 0) return false;
    if (::unlink(path_.c_str()) != 0) {
        const int error = errno;
        logMessage(2, "[FileStore] 저장소 비우기 실패: %s (%s)", path_.c_str(), std::strerror(error));
        return false;
    }
    fsyncDirectory(parentDirectory(path_));
    logMessage(4, "[FileStore] 저장소 비움: %s", path_.c_str());
    return true;
}
