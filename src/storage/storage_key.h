// The unlocked data key of one open container, as it travels with a request
// or a job. A key is accepted only by the container that handed it out, and
// only until that container is opened or created again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct StorageKey {
    static constexpr size_t kSize = 32;

    std::array<uint8_t, kSize> dataKey{};
    bool valid = false;
    uint64_t openGeneration = 0;

    StorageKey() = default;
    StorageKey(const StorageKey&) = default;
    StorageKey& operator=(const StorageKey&) = default;
    // Every copy wipes its own key bytes when it goes away.
    ~StorageKey();
};

// Overwrites the 32 key bytes (with the cryptographic library's cleanse, which
// the compiler may not drop) and clears the valid flag, so a wiped key can
// never be mistaken for a usable one. Safe for concurrent use on distinct keys.
void wipeKey(StorageKey& key);

// Releases a bare 32-byte data key allocated with `new uint8_t[32]`: wipes the
// bytes, then frees them. A null pointer is ignored.
void secureDeleteKey(uint8_t* key);
