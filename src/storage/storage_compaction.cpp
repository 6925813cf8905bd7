// StorageFile: reclaiming garbage by copying the live data into a fresh file
// that replaces the container. The old file stays untouched and in place
// until the rename, so a crash or failure at any step keeps every file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/logger.h"
#include "platform/file_io.h"
#include "storage/storage_file.h"
#include "storage/storage_file_internal.h"

using storage_internal::throwIo;

namespace {

constexpr uint64_t kCopyBufferSize = 1048576;

}  // namespace

void StorageFile::compactIfDueLocked(const uint8_t* dataKey) {
    uint64_t live = published_.indexLength;
    for (const StorageEntry& e : entries_) live += sealedFileSize(e.size);
    const uint64_t dataArea = fileEnd_ - kHeaderSize;
    const uint64_t garbage = dataArea > live ? dataArea - live : 0;
    if (garbage < options_.compactionThreshold || 2 * garbage < dataArea) return;
    try {
        compactLocked(dataKey);
    } catch (const std::exception& e) {
        logMessage(2, "[FileStore] compaction failed: %s", e.what());
    }
}

void StorageFile::compactLocked(const uint8_t* dataKey) {
    const std::string temp = path_ + ".tmp";
    const int tempFd = openFileCloexec(temp, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (tempFd < 0) throwIo("cannot create temp storage: " + temp);
    const int oldFd = fd_;
    const auto discardTemp = [&] {
        ::close(tempFd);
        ::unlink(temp.c_str());
    };

    // Steps 1-2: the header's key fields with empty slots, then every live
    // file's sealed bytes unchanged (no decryption needed).
    std::vector<StorageEntry> moved = entries_;
    uint64_t position = kHeaderSize;
    {
        Bytes header(kHeaderSize, 0);
        if (!readAt(0, header.data(), kSlotAOffset)) {
            discardTemp();
            throwIo("cannot read storage header: " + path_);
        }
        fd_ = tempFd;
        const bool written = writeAt(0, header.data(), header.size());
        fd_ = oldFd;
        if (!written) {
            discardTemp();
            throwIo("failed to write temp storage: " + temp);
        }
        Bytes buffer(kCopyBufferSize);
        for (StorageEntry& e : moved) {
            const uint64_t total = sealedFileSize(e.size);
            for (uint64_t done = 0; done < total;) {
                const size_t piece = static_cast<size_t>(std::min(kCopyBufferSize, total - done));
                if (!readAt(e.dataOffset + done, buffer.data(), piece)) {
                    discardTemp();
                    throwIo("failed to read storage: " + e.name);
                }
                fd_ = tempFd;
                const bool ok = writeAt(position + done, buffer.data(), piece);
                fd_ = oldFd;
                if (!ok) {
                    discardTemp();
                    throwIo("failed to write temp storage: " + temp);
                }
                done += piece;
            }
            e.dataOffset = position;
            position += total;
        }
        if (!passStep(StorageStep::kCompactionCopied)) {
            discardTemp();
            throwIo("failed to write temp storage: " + temp);
        }
    }

    // Step 3: publish the index inside the temporary file.
    std::vector<StorageEntry> oldEntries = std::move(entries_);
    const uint64_t oldEnd = fileEnd_;
    const PublishedState oldPublished = published_;
    const auto switchBack = [&] {
        fd_ = oldFd;
        entries_ = std::move(oldEntries);
        fileEnd_ = oldEnd;
        published_ = oldPublished;
    };
    fd_ = tempFd;
    entries_ = std::move(moved);
    fileEnd_ = position;
    published_ = PublishedState{};
    try {
        writeIndex(dataKey);
        if (!passStep(StorageStep::kCompactionPublished)) throwIo("failed to write temp storage: " + temp);
    } catch (...) {
        switchBack();
        discardTemp();
        throw;
    }

    // Step 4: the complete, synced file takes the container's name. The old
    // descriptor stays open until then, so a failed rename needs no reopen.
    if (::rename(temp.c_str(), path_.c_str()) != 0) {
        switchBack();
        discardTemp();
        throwIo("compaction failed (rename): " + path_);
    }
    passStep(StorageStep::kCompactionRenamed);
    ::close(oldFd);
    // Without this the rename may not survive a power loss, and later saves
    // into the new file would vanish with it.
    if (!fsyncDirectory(parentDirectory(path_))) {
        logMessage(1, "[FileStore] cannot sync the folder after compaction: %s", path_.c_str());
    }
    passStep(StorageStep::kCompactionFolderSynced);

    // Step 5: read the new file back as a fresh open would, so what is in
    // memory is what the disk holds.
    try {
        StorageKey reread;
        const StorageKey* key = nullptr;
        if (dataKey) {
            std::memcpy(reread.dataKey.data(), dataKey, reread.dataKey.size());
            key = &reread;
        }
        readHeader(key);
    } catch (const FileStoreException&) {
        closeLocked();
        throwIo("cannot reopen storage after compaction: " + path_);
    }
}
