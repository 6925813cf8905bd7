// FileStore: one instance's file area as the rest of the server sees it. It
// wraps the container `storage.kvx` in the instance's folder, decides when it
// is created, opened and unlocked with the client's Bearer token, answers an
// unusable key with "not found", stores generated outputs under fresh names
// and empties the store on request.
//
// Safe for concurrent use by multiple threads. configure, open,
// saveGeneratedFile and truncate hold the store's own mutex (then the
// container's); the other operations go straight to the container, which
// serialises itself. Every failure is a FileStoreException.
#pragma once

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_store_exception.h"
#include "storage/mime_types.h"
#include "storage/storage_file.h"
#include "storage/storage_key.h"

class FileStore {
public:
    FileStore() = default;
    // A store whose container behaves as `options` say (tests).
    explicit FileStore(const StorageOptions& options) : storage_(options) {}
    ~FileStore() = default;  // the container closes itself
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;

    // Sets the container path and whether the instance wants encryption. The
    // container is not touched.
    void configure(const std::string& path, bool encrypted);

    // Opens the store for a request or job and returns its key.
    // - An open container, or an existing file (opened now), is unlocked with
    //   `token`: a plain container gives a valid key whatever the token; an
    //   encrypted one needs the right token (kind 3 empty, kind 4 wrong).
    // - No file and `create` false: kind 3 when the store is configured
    //   encrypted and the token is empty; otherwise an invalid key, nothing
    //   is created.
    // - No file and `create` true: the parent folders and a new container,
    //   encrypted under `token` when configured so (kind 3 for an empty token).
    // - A store configured encrypted whose container is plain: with `create`
    //   true an empty container is recreated encrypted, and one that holds
    //   files is refused with kind 5 (new data must not land in plain text);
    //   with `create` false it is opened with a warning, so existing files
    //   stay readable and removable.
    // A path whose status cannot be read is kind 2; it is never recreated.
    StorageKey open(const std::string& token, bool create);

    // Opens the store like open() and runs `operation(key)` under the same
    // hold of the store's mutex, then wipes the key: an unload that empties
    // the store (truncate) runs wholly before or after, never between the
    // opening and the operation. `operation` may use the key-taking and
    // key-less views below, but not open, saveGeneratedFile or truncate.
    // Returns what `operation` returns; failures as open() and the operation.
    template <typename Operation>
    auto withOpenStore(const std::string& token, bool create, Operation&& operation) {
        std::lock_guard<std::mutex> lock(mu_);
        StorageKey key = openLocked(token, create);
        struct Wipe {
            StorageKey& key;
            ~Wipe() { wipeKey(key); }
        } wipe{key};
        return operation(key);
    }

    // Opens the store (creating it) and stores `data` as saveGeneratedFile
    // does, under one hold of the store's mutex. Returns the new name.
    std::string openAndSaveGeneratedFile(const std::string& token, const std::string& prefix,
                                         const std::string& extension, std::span<const uint8_t> data);

    // Key-less views; nothing for an invalid name or a closed or locked store.
    bool exists(const std::string& name) const;
    std::vector<StoredFileInfo> list() const;
    bool stat(const std::string& name, StoredFileInfo& out) const;

    // The whole file. Kind 0 for an invalid name; kind 1 "file not found: "
    // when the key is not valid or the name is not stored; kinds 2 to 4 from
    // the container.
    Bytes read(const std::string& name, const StorageKey& key);

    // min(length, size - offset) bytes from `offset`; failures as read.
    Bytes readRange(const std::string& name, uint64_t offset, uint64_t length, const StorageKey& key);

    // Kind 0 for an invalid name; false when the key is not valid or the name
    // is not stored; true when the file was removed.
    bool remove(const std::string& name, const StorageKey& key);

    // Stores `data` under a fresh name, prefix + "-" + local time
    // "%Y%m%d-%H%M%S" + "-" + four hex digits + "." + extension, and returns
    // it. A name that exists is drawn again, up to 20 candidates; when all
    // exist the save fails with kind 2: a stored file is never overwritten.
    // Kind 2 "file storage is not ready: " when the container is not open or
    // the key not valid; kind 3 when an encrypted instance meets a plain
    // container.
    std::string saveGeneratedFile(const std::string& prefix, const std::string& extension,
                                  std::span<const uint8_t> data, const StorageKey& key);
    std::string saveGeneratedFile(const std::string& prefix, const std::string& extension, std::string_view data,
                                  const StorageKey& key) {
        return saveGeneratedFile(
            prefix, extension, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
            key);
    }

    // Closes the container (keys handed out before meet "storage is not
    // open") and deletes its file and a leftover temporary file. True only
    // when a container file existed and was deleted. Never throws.
    bool truncate();

    // The instance's wish to empty the store on unload; exchange returns the
    // previous value.
    bool exchangeTruncateOnUnload(bool value) { return truncateOnUnload_.exchange(value); }
    bool truncateOnUnload() const { return truncateOnUnload_.load(); }

    std::string path() const;
    bool encryptedConfigured() const;

    // The container, for tests and benchmarks.
    StorageFile& containerForTesting() { return storage_; }

    // Draws the 32-bit values of this store's generated names from `source`
    // instead of the process-wide generator; null restores it (for tests).
    // Under the store's mutex, like saveGeneratedFile.
    void setGeneratedNameSource(uint32_t (*source)());

private:
    // open and saveGeneratedFile. REQUIRES: mu_ held.
    StorageKey openLocked(const std::string& token, bool create);
    std::string saveLocked(const std::string& prefix, const std::string& extension, std::span<const uint8_t> data,
                           const StorageKey& key);

    std::string path_;
    bool encrypted_ = false;
    std::atomic<bool> truncateOnUnload_{false};
    StorageFile storage_;
    uint32_t (*nameSource_)() = nullptr;  // null: the process-wide generator
    mutable std::mutex mu_;
};

// Throws kind 0 "invalid file name: " + name unless isValidFileName(name).
void validateFileName(const std::string& name);

// "files/" + name: how the API names a stored file.
std::string fileReference(const std::string& name);
