// Helpers shared by the files that implement StorageFile. Not for other users.
#pragma once

#include <cstdint>
#include <string>

#include "storage/file_store_exception.h"
#include "storage/storage_file.h"

namespace storage_internal {

// Seals `size` bytes of `plain` into the `size` + 28 bytes at `out`: zero
// nonce and tag with the plaintext between them in a plain store; a random
// nonce, the AES-256-GCM ciphertext and its tag in an encrypted one (kind 3
// without a data key, kind 2 when the cipher or random source fails).
void sealInto(bool encrypted, const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* plain,
              size_t size, uint8_t* out, const std::string& path);

// Opens a sealed record of `sealedSize` (>= 28) bytes into `out`; kind 2 with
// the format's texts when it is corrupted, kind 3 without a data key.
void openInto(bool encrypted, const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* sealed,
              size_t sealedSize, uint8_t* out, const std::string& path);

[[noreturn]] inline void throwIo(const std::string& message) {
    throw FileStoreException(FileStoreException::kIo, message);
}

[[noreturn]] inline void throwKeyRequired() {
    throw FileStoreException(FileStoreException::kKeyRequired, "storage key (Bearer) is required");
}

}  // namespace storage_internal
