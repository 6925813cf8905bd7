// Little-endian integer encoding shared by the WAV writer and the file
// store's container format. Header-only on purpose: the store links no other
// part of media, and these stay free of any library dependency.
// All functions are pure and safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Appends `value` as 2 bytes, least significant first. Fails only by running
// out of memory (std::bad_alloc).
inline void appendU16Le(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// Appends `value` as 4 bytes, least significant first. Fails only by running
// out of memory (std::bad_alloc).
inline void appendU32Le(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 16) & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 24));
}

// Appends `value` as 8 bytes, least significant first. Fails only by running
// out of memory (std::bad_alloc).
inline void appendU64Le(std::vector<uint8_t>& out, uint64_t value) {
    appendU32Le(out, static_cast<uint32_t>(value & 0xFFFFFFFFu));
    appendU32Le(out, static_cast<uint32_t>(value >> 32));
}

// Writes `value` little-endian into the 2, 4 or 8 bytes at `p`.
// REQUIRES: `p` points at that many writable bytes.
inline void storeU16Le(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void storeU32Le(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

inline void storeU64Le(uint8_t* p, uint64_t value) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

// Reads a little-endian value from the 2, 4 or 8 bytes at `p`.
// REQUIRES: `p` points at that many readable bytes.
inline uint16_t loadU16Le(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}

inline uint32_t loadU32Le(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline uint64_t loadU64Le(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
