// The SHA-256 digest of a file, used to check downloaded model files.
#pragma once

#include <string>

// 64 lower-case hexadecimal characters. Reads 64 KiB blocks, never the whole
// file. Throws std::runtime_error "failed to open file (SHA256): <path>"
// when it cannot be opened (a folder included), "failed to read file
// (SHA256): <path>" on a read error, "EVP_MD_CTX_new failed" and
// "EVP_DigestInit_ex failed". Thread-safe.
std::string sha256File(const std::string& path);
