// Cryptographic primitives of the container format: CRC-32 for the header
// slots, AES-256-GCM with 12-byte IVs and 16-byte tags, HKDF-SHA256 for the
// key-encryption key, and the system's random source. Pure functions, safe
// for concurrent use by multiple threads; none of them throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t kGcmIvSize = 12;
inline constexpr size_t kGcmTagSize = 16;
inline constexpr size_t kAesKeySize = 32;

// The CRC-32 of IEEE 802.3 and zlib (reflected 0xEDB88320, initial and final
// XOR 0xFFFFFFFF).
uint32_t crc32Ieee(const uint8_t* data, size_t size);

// Encrypts `size` bytes of `plaintext` into `ciphertext` (same length; the two
// may be the same buffer) and writes the 16-byte tag. False when the cipher
// fails; the output is then undefined.
bool aesGcmEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* aad, size_t aadSize,
                   const uint8_t* plaintext, size_t size, uint8_t* ciphertext, uint8_t* tag);

// Decrypts and checks the tag. False when the tag does not match or the
// cipher fails; the output is then wiped, so no partial plaintext escapes.
bool aesGcmDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* aad, size_t aadSize,
                   const uint8_t* ciphertext, size_t size, const uint8_t* tag, uint8_t* plaintext);

// The 32-byte key-encryption key: HKDF-SHA256 (extract and expand) over the
// token's bytes with the 32-byte `salt` and the info "brisvane-storage-kek".
// False on a library failure; `out` is then wiped.
bool deriveStorageKek(const std::string& token, const uint8_t* salt, uint8_t* out);

// Fills `size` bytes from the cryptographic random source; false on failure.
bool randomBytes(uint8_t* out, size_t size);
