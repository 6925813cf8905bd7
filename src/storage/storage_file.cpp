// StorageFile: opening, creation, unlocking and the stored-file operations.
#include "storage/storage_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>

#include "base/logger.h"
#include "base/text_util.h"
#include "platform/file_io.h"
#include "storage/file_store_exception.h"
#include "storage/mime_types.h"
#include "storage/storage_crypto.h"
#include "storage/storage_file_internal.h"

using storage_internal::throwIo;
using storage_internal::throwKeyRequired;

namespace {

// One counter for all containers of the process: every open or creation takes
// a fresh value, so keys handed out before can never match again.
std::atomic<uint64_t> gOpenCounter{1};

constexpr uint64_t kChunksPerWriteBatch = 16;

uint64_t takeOpenGeneration() { return gOpenCounter.fetch_add(1); }

void throwInvalidName(const std::string& name) {
    throw FileStoreException(FileStoreException::kInvalidName, "invalid file name: " + name);
}

// Whether stat's failure means that nothing is at the path. Any other failure
// (permissions, I/O) must not lead to a new store replacing an existing one.
bool meansAbsent(int error) { return error == ENOENT || error == ENOTDIR; }

}  // namespace

bool StorageFile::passStep(StorageStep step) const { return options_.stepHook ? options_.stepHook(step) : true; }

StorageFile::~StorageFile() {
    std::lock_guard<std::mutex> lock(mu_);
    closeLocked();
}

void StorageFile::closeLocked() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    entries_.clear();
    indexLoaded_ = false;
}

void StorageFile::close() {
    std::lock_guard<std::mutex> lock(mu_);
    closeLocked();
}

bool StorageFile::isOpen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0;
}

bool StorageFile::isEncrypted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0 && (header_.flags & kFlagEncrypted) != 0;
}

uint64_t StorageFile::fileSizeForTesting() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0 ? fileEnd_ : 0;
}

void StorageFile::open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    closeLocked();
    openGeneration_ = takeOpenGeneration();
    path_ = path;

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (!meansAbsent(errno)) throwIo("cannot open storage: " + path);
        createLocked(path, StorageHeader{}, /*replace=*/false);
        return;
    }
    fd_ = openFileCloexec(path, O_RDWR);
    if (fd_ < 0) throwIo("cannot open storage: " + path);
    try {
        readHeader(nullptr);
    } catch (...) {
        closeLocked();
        throw;
    }
}

void StorageFile::createLocked(const std::string& path, const StorageHeader& header, bool replace) {
    // The header is completed and synced under a temporary name and only then
    // put in place, so the path never holds a half-written header.
    const std::string temp = path + ".tmp";
    const int fd = openFileCloexec(temp, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throwIo("cannot create storage: " + path);
    Bytes bytes = encodeHeader(header);
    const auto slot = encodeSlot(1, 0, 0);
    std::memcpy(bytes.data() + kSlotAOffset, slot.data(), slot.size());
    const auto fail = [&](const std::string& message) {
        ::close(fd);
        ::unlink(temp.c_str());
        throwIo(message);
    };
    fd_ = fd;
    const bool written = writeAt(0, bytes.data(), bytes.size()) && syncFile();
    fd_ = -1;
    if (!written || !passStep(StorageStep::kCreateWritten)) fail("failed to write storage header: " + path);
    if (replace) {
        if (::rename(temp.c_str(), path.c_str()) != 0) fail("cannot create storage: " + path);
    } else {
        // Both refuse an existing target: a store that appeared meanwhile is
        // kept, never replaced by an empty one. renameat2 serves file systems
        // without hard links.
        if (::link(temp.c_str(), path.c_str()) == 0) {
            ::unlink(temp.c_str());
        } else if (errno == EEXIST ||
                   ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
            fail("cannot create storage: " + path);
        }
    }
    if (!fsyncDirectory(parentDirectory(path))) {
        ::close(fd);
        throwIo("cannot create storage: " + path);
    }
    fd_ = fd;
    header_ = header;
    entries_.clear();
    nextRecordId_ = 1;
    published_ = PublishedState{1, 0, 0, 0, 0};  // slot A, empty index
    fileEnd_ = kHeaderSize;
    indexLoaded_ = true;
}

StorageKey StorageFile::createEncrypted(const std::string& path, const std::string& token) {
    if (token.empty()) throwKeyRequired();
    std::lock_guard<std::mutex> lock(mu_);
    closeLocked();
    openGeneration_ = takeOpenGeneration();
    path_ = path;

    StorageKey key;
    StorageHeader header;
    header.flags = kFlagEncrypted;
    uint8_t kek[kAesKeySize];
    const bool ok = randomBytes(header.salt.data(), header.salt.size()) &&
                    randomBytes(key.dataKey.data(), key.dataKey.size()) &&
                    randomBytes(header.keyNonce.data(), header.keyNonce.size()) &&
                    deriveStorageKek(token, header.salt.data(), kek);
    const bool wrapped = ok && aesGcmEncrypt(kek, header.keyNonce.data(), reinterpret_cast<const uint8_t*>(kKeyWrapAad),
                                             6, key.dataKey.data(), key.dataKey.size(), header.wrappedKey.data(),
                                             header.keyTag.data());
    OPENSSL_cleanse(kek, sizeof(kek));
    if (!wrapped) throwIo("failed to create storage key: " + path);
    createLocked(path, header, /*replace=*/true);
    key.valid = true;
    key.openGeneration = openGeneration_;
    return key;
}

StorageKey StorageFile::unlock(const std::string& token) {
    std::lock_guard<std::mutex> lock(mu_);
    StorageKey key;
    if (fd_ < 0) throwIo("storage is not open");
    if ((header_.flags & kFlagEncrypted) != 0) {
        if (token.empty()) throwKeyRequired();
        uint8_t kek[kAesKeySize];
        if (!deriveStorageKek(token, header_.salt.data(), kek)) throwIo("failed to derive storage key: " + path_);
        const bool match = aesGcmDecrypt(kek, header_.keyNonce.data(), reinterpret_cast<const uint8_t*>(kKeyWrapAad),
                                         6, header_.wrappedKey.data(), header_.wrappedKey.size(),
                                         header_.keyTag.data(), key.dataKey.data());
        OPENSSL_cleanse(kek, sizeof(kek));
        if (!match) throw FileStoreException(FileStoreException::kKeyMismatch, "storage key does not match");
        if (!indexLoaded_) readIndex(key.dataKey.data());
    }
    key.valid = true;
    key.openGeneration = openGeneration_;
    return key;
}

const uint8_t* StorageFile::checkKeyLocked(const StorageKey& key) const {
    if (fd_ < 0) throwIo("storage is not open");
    if ((header_.flags & kFlagEncrypted) == 0) return nullptr;
    if (!key.valid || key.openGeneration != openGeneration_) throwKeyRequired();
    if (!indexLoaded_) throw FileStoreException(FileStoreException::kKeyRequired, "storage is locked");
    return key.dataKey.data();
}

const StorageEntry* StorageFile::findLocked(const std::string& name) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                                     [](const StorageEntry& e, const std::string& n) { return e.name < n; });
    return (it != entries_.end() && it->name == name) ? &*it : nullptr;
}

bool StorageFile::exists(const std::string& name) const {
    if (!isValidFileName(name)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0 && indexLoaded_ && findLocked(name) != nullptr;
}

namespace {

StoredFileInfo infoOf(const StorageEntry& e) {
    return StoredFileInfo{e.name, e.size, e.contentType, static_cast<int64_t>(e.timeMs)};
}

}  // namespace

bool StorageFile::stat(const std::string& name, StoredFileInfo& out) const {
    if (!isValidFileName(name)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0 || !indexLoaded_) return false;
    const StorageEntry* e = findLocked(name);
    if (!e) return false;
    out = infoOf(*e);
    return true;
}

std::vector<StoredFileInfo> StorageFile::list() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<StoredFileInfo> out;
    if (fd_ < 0 || !indexLoaded_) return out;
    out.reserve(entries_.size());
    for (const StorageEntry& e : entries_) out.push_back(infoOf(e));
    return out;
}

Bytes StorageFile::read(const std::string& name, const StorageKey& key) {
    return readRange(name, 0, kMaxStoredFileSize, key);
}

Bytes StorageFile::readRange(const std::string& name, uint64_t offset, uint64_t length, const StorageKey& key) {
    if (!isValidFileName(name)) throwInvalidName(name);
    std::lock_guard<std::mutex> lock(mu_);
    const uint8_t* dataKey = checkKeyLocked(key);
    const StorageEntry* entry = findLocked(name);
    if (!entry) throw FileStoreException(FileStoreException::kNotFound, "file not found: " + name);
    if (offset >= entry->size) return {};
    const uint64_t count = std::min(length, entry->size - offset);
    Bytes out(count);
    readChunks(dataKey, *entry, offset, count, out.data());
    return out;
}

void StorageFile::write(const std::string& name, std::span<const uint8_t> data, const std::string& contentType,
                        uint64_t timeMs, const StorageKey& key) {
    if (!isValidFileName(name)) throwInvalidName(name);
    if (data.size() > kMaxStoredFileSize)
        throwIo("file too large: " + name + " (" + std::to_string(data.size()) + " bytes, max 2GB)");
    std::lock_guard<std::mutex> lock(mu_);
    const uint8_t* dataKey = checkKeyLocked(key);

    StorageEntry entry;
    entry.name = name;
    entry.contentType = contentType.empty() ? mimeTypeOfFile(name) : contentType;
    if (entry.contentType.size() > kMaxContentTypeLength) entry.contentType.resize(kMaxContentTypeLength);
    entry.size = data.size();
    entry.timeMs = timeMs ? timeMs : static_cast<uint64_t>(nowMs());
    entry.dataOffset = fileEnd_;
    entry.recordId = nextRecordId_;

    // Seal and write up to 16 chunks per system call.
    const bool encrypted = (header_.flags & kFlagEncrypted) != 0;
    const uint64_t chunks = (entry.size + kChunkSize - 1) / kChunkSize;
    Bytes batch;
    uint64_t position = entry.dataOffset;
    for (uint64_t first = 0; first < chunks; first += kChunksPerWriteBatch) {
        const uint64_t end = std::min(chunks, first + kChunksPerWriteBatch);
        batch.resize(sealedFileSize(std::min(entry.size, end * kChunkSize) - first * kChunkSize));
        uint8_t* out = batch.data();
        for (uint64_t i = first; i < end; ++i) {
            const uint64_t length = std::min(kChunkSize, entry.size - i * kChunkSize);
            const auto aad = chunkAad(entry.recordId, i);
            storage_internal::sealInto(encrypted, dataKey, aad.data(), aad.size(), data.data() + i * kChunkSize,
                                       length, out, path_);
            out += length + kSealOverhead;
        }
        if (!writeAt(position, batch.data(), batch.size())) throwIo("failed to write storage: " + path_);
        position += batch.size();
    }
    if (!passStep(StorageStep::kChunksWritten)) throwIo("failed to write storage: " + path_);

    const std::vector<StorageEntry> savedEntries = entries_;
    fileEnd_ = entry.dataOffset + sealedFileSize(entry.size);
    // Record ids are never handed out twice, even when this publish fails.
    ++nextRecordId_;
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                                     [](const StorageEntry& e, const std::string& n) { return e.name < n; });
    if (it != entries_.end() && it->name == name) {
        *it = std::move(entry);
    } else {
        entries_.insert(it, std::move(entry));
    }
    try {
        writeIndex(dataKey);
    } catch (...) {
        // fileEnd_ stays past everything written: a slot on disk may already
        // name these bytes, so they must never be overwritten.
        entries_ = savedEntries;
        throw;
    }
    compactIfDueLocked(dataKey);
}

bool StorageFile::remove(const std::string& name, const StorageKey& key) {
    if (!isValidFileName(name)) throwInvalidName(name);
    std::lock_guard<std::mutex> lock(mu_);
    const uint8_t* dataKey = checkKeyLocked(key);
    const StorageEntry* entry = findLocked(name);
    if (!entry) return false;
    const std::vector<StorageEntry> savedEntries = entries_;
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    try {
        writeIndex(dataKey);
    } catch (...) {
        entries_ = savedEntries;
        throw;
    }
    compactIfDueLocked(dataKey);
    return true;
}
