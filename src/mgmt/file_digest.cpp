#include "mgmt/file_digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/file_io.h"

namespace {

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

std::string sha256File(const std::string& path) {
    // Only regular files: reading a folder would give the digest of nothing.
    std::unique_ptr<FILE, FileClose> file(openRegularFileStream(path));
    if (!file) throw std::runtime_error("failed to open file (SHA256): " + path);
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::runtime_error("EVP_MD_CTX_new failed");
    if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::runtime_error("EVP_DigestInit_ex failed");

    std::vector<unsigned char> block(65536);
    for (;;) {
        const size_t n = std::fread(block.data(), 1, block.size(), file.get());
        if (n > 0 && EVP_DigestUpdate(ctx.get(), block.data(), n) != 1) {
            throw std::runtime_error("failed to read file (SHA256): " + path);
        }
        if (n < block.size()) break;
    }
    if (std::ferror(file.get())) throw std::runtime_error("failed to read file (SHA256): " + path);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) throw std::runtime_error("EVP_DigestFinal_ex failed");
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}
