// StorageFile: one open "KVXSTOR1" container (storage_format.h) with its
// header values, its index in memory and its own mutex.
//
// The container is append-only. A change writes its sealed chunks and a new
// sealed index record at the end of the file, then publishes the index by
// writing the header slot that is not in force; each write is synced before
// the next, so a crash at any point leaves the previous published state or
// the new one. Garbage (replaced files, old index records) is reclaimed by
// compaction into a fresh file that is renamed over the old one.
//
// Every public operation is safe for concurrent use by multiple threads: one
// mutex per container serialises them, compaction included. The container
// never takes the FileStore mutex (FileStore takes its own first).
// Every failure is a FileStoreException (file_store_exception.h).
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_format.h"
#include "storage/storage_key.h"

// The record that list and stat return.
struct StoredFileInfo {
    std::string name;
    uint64_t size = 0;
    std::string contentType;
    int64_t timeMs = 0;
};

// Steps at which the test hook is called. A hook that returns false makes the
// step fail as if the system call had failed; one that ends the process
// stands for a crash at that point.
enum class StorageStep {
    kCreateWritten,       // a new container's header is synced, not yet in place
    kChunksWritten,       // a file's chunks are written
    kIndexWritten,        // the index record is written
    kIndexSynced,         // ... and synced
    kSlotWritten,         // the slot is written
    kSlotSynced,          // ... and synced: the change is published
    kCompactionCopied,    // the live data is copied to the temporary file
    kCompactionPublished, // the temporary file has its index
    kCompactionRenamed,   // the temporary file replaced the container
    kCompactionFolderSynced,
};
using StorageStepHook = bool (*)(StorageStep step);

// How one container behaves; the defaults are the server's. Tests set a step
// hook and lower the compaction threshold of the containers they make.
struct StorageOptions {
    // Called at each step above; null calls nothing.
    StorageStepHook stepHook = nullptr;
    // The garbage size from which compaction is considered (64 MiB).
    uint64_t compactionThreshold = 67108864;
};

class StorageFile {
public:
    StorageFile() = default;
    explicit StorageFile(const StorageOptions& options) : options_(options) {}
    // Closes the file.
    ~StorageFile();
    StorageFile(const StorageFile&) = delete;
    StorageFile& operator=(const StorageFile&) = delete;

    // Opens the container at `path`, or creates an empty plain one there when
    // the path does not exist. A path whose status cannot be read for any
    // other reason is an error (kind 2), never replaced. A plain container's
    // index is loaded at once; an encrypted one stays locked until unlock.
    // Starts a new open generation: keys handed out before stop working.
    // On failure the container is closed.
    void open(const std::string& path);

    // Creates a new encrypted container at `path` (replacing any file there
    // as a whole: a crash leaves the old file or the new one) under a fresh
    // random data key wrapped with a key derived from `token`, and returns
    // that key. An empty token is kind 3. Starts a new open generation.
    StorageKey createEncrypted(const std::string& path, const std::string& token);

    // Checks `token` against an encrypted container and returns its data key
    // (kind 3 for an empty token, kind 4 for a wrong one); loads the index on
    // the first success. A plain container returns a valid all-zero key
    // whatever the token. Not open: kind 2.
    StorageKey unlock(const std::string& token);

    // Closes the file, empties the entries and locks the index. Never fails.
    void close();

    bool isOpen() const;
    // Open and encrypted.
    bool isEncrypted() const;
    const std::string& path() const { return path_; }

    // Key-less views of the loaded index. They report nothing (false, empty)
    // for an invalid name, a closed container or a locked index.
    bool exists(const std::string& name) const;
    bool stat(const std::string& name, StoredFileInfo& out) const;
    std::vector<StoredFileInfo> list() const;

    // The whole stored file. Kind 0 for an invalid name, kind 1 when absent,
    // kind 2 when closed or on I/O errors and corruption, kind 3 for an
    // encrypted container without a current key or with a locked index.
    Bytes read(const std::string& name, const StorageKey& key);

    // min(length, size - offset) bytes from `offset`; empty when offset is at
    // or past the end. Failures as read.
    Bytes readRange(const std::string& name, uint64_t offset, uint64_t length, const StorageKey& key);

    // Stores `data` under `name`, replacing a file of that name. An empty
    // content type means mimeTypeOfFile(name); time 0 means now. More than
    // 2^31 bytes is kind 2 before anything is written. A failure leaves the
    // stored files as they were (a crash may leave the old or the new file).
    // May compact afterwards; compaction failures are logged, not raised.
    void write(const std::string& name, std::span<const uint8_t> data, const std::string& contentType,
               uint64_t timeMs, const StorageKey& key);
    void write(const std::string& name, std::string_view data, const std::string& contentType, uint64_t timeMs,
               const StorageKey& key) {
        write(name, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
              contentType, timeMs, key);
    }

    // Removes `name`; false (nothing published) when it is not stored.
    // Failures as read.
    bool remove(const std::string& name, const StorageKey& key);

    // Size of the container file as this container sees it (0 when closed).
    // For tests and benchmarks.
    uint64_t fileSizeForTesting() const;

private:
    struct PublishedState {
        uint64_t generation = 0;
        uint64_t indexOffset = 0;
        uint64_t indexLength = 0;
        uint32_t recordCrc = 0;  // of the sealed index record; 0 when not recorded
        int activeSlot = -1;     // 0 slot A, 1 slot B, -1 none in force
    };

    // Every private helper below REQUIRES mu_ held. All raise
    // FileStoreException unless they return bool; a null data key stands for
    // a plain container (or a missing key, refused with kind 3 when needed).

    void closeLocked();
    // Writes a complete new header under a temporary name, syncs it and puts
    // it at `path` (replacing a file only when `replace`), then adopts it.
    void createLocked(const std::string& path, const StorageHeader& header, bool replace);
    // Checks the header of the open file and chooses the slot; loads the
    // index of a plain container, or of an encrypted one when `key` is given.
    void readHeader(const StorageKey* key);
    // Loads the index named by the slot in force. A slot that passed its CRC
    // names a record that was complete and synced before the slot was
    // written, so a record that then fails (its checksum, its tag, a read)
    // is damage, not a torn publish: it fails the call, nothing older is
    // read in its place, and the index stays unloaded so nothing is written.
    void readIndex(const uint8_t* dataKey);
    IndexRecord readIndexAt(const PublishedState& state, const uint8_t* dataKey);
    // Publishes entries_ and nextRecordId_: index record, sync, slot, sync.
    // On failure fileEnd_ stays past the bytes written and the slot in force
    // is unchanged in memory.
    void writeIndex(const uint8_t* dataKey);
    bool writeSlot(uint64_t slotOffset, uint64_t generation, uint64_t indexOffset, uint64_t indexLength,
                   uint32_t recordCrc) const;
    Bytes sealRecord(const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* plain,
                     size_t size) const;
    Bytes openRecord(const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const Bytes& sealed) const;
    // Opens the chunks that cover [offset, offset + length) of `entry` into
    // `out`. REQUIRES: offset + length <= entry.size.
    void readChunks(const uint8_t* dataKey, const StorageEntry& entry, uint64_t offset, uint64_t length,
                    uint8_t* out);
    // The data key to use after the key checks (null for a plain container).
    const uint8_t* checkKeyLocked(const StorageKey& key) const;
    const StorageEntry* findLocked(const std::string& name) const;
    void compactIfDueLocked(const uint8_t* dataKey);
    void compactLocked(const uint8_t* dataKey);
    bool readAt(uint64_t offset, uint8_t* out, size_t size) const;
    bool writeAt(uint64_t offset, const uint8_t* data, size_t size) const;
    bool syncFile() const;
    // Runs the step hook for `step`; true when there is none.
    bool passStep(StorageStep step) const;

    mutable std::mutex mu_;
    std::string path_;
    int fd_ = -1;
    StorageHeader header_;
    std::vector<StorageEntry> entries_;
    bool indexLoaded_ = false;
    uint64_t openGeneration_ = 0;
    uint64_t nextRecordId_ = 1;
    PublishedState published_;
    uint64_t fileEnd_ = 0;
    const StorageOptions options_{};
};
