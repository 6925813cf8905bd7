#include "storage/storage_crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <memory>

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct KdfFree {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};

constexpr char kKekInfo[] = "brisvane-storage-kek";

std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}

// The cipher fetched once: the implicit fetch behind EVP_aes_256_gcm() costs
// a provider lookup on every record. Falls back to it when the fetch fails.
const EVP_CIPHER* aes256Gcm() {
    static EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return fetched ? fetched : EVP_aes_256_gcm();
}

// EVP lengths are ints; records are at most one chunk or one index, but the
// checks keep a crafted size from wrapping.
bool fitsInt(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

}  // namespace

uint32_t crc32Ieee(const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = makeCrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

bool aesGcmEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* aad, size_t aadSize,
                   const uint8_t* plaintext, size_t size, uint8_t* ciphertext, uint8_t* tag) {
    if (!fitsInt(size) || !fitsInt(aadSize)) return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    int len = 0;
    if (EVP_EncryptInit_ex(ctx.get(), aes256Gcm(), nullptr, nullptr, nullptr) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kGcmIvSize), nullptr) != 1)
        return false;
    if (EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key, iv) != 1) return false;
    if (aadSize > 0 && EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad, static_cast<int>(aadSize)) != 1)
        return false;
    if (size > 0 && EVP_EncryptUpdate(ctx.get(), ciphertext, &len, plaintext, static_cast<int>(size)) != 1)
        return false;
    if (EVP_EncryptFinal_ex(ctx.get(), ciphertext + (size > 0 ? len : 0), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagSize), tag) == 1;
}

bool aesGcmDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* aad, size_t aadSize,
                   const uint8_t* ciphertext, size_t size, const uint8_t* tag, uint8_t* plaintext) {
    if (!fitsInt(size) || !fitsInt(aadSize)) return false;
    bool ok = false;
    {
        CipherCtx ctx(EVP_CIPHER_CTX_new());
        int len = 0;
        ok = ctx && EVP_DecryptInit_ex(ctx.get(), aes256Gcm(), nullptr, nullptr, nullptr) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kGcmIvSize), nullptr) == 1 &&
             EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, iv) == 1 &&
             (aadSize == 0 || EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad, static_cast<int>(aadSize)) == 1) &&
             (size == 0 || EVP_DecryptUpdate(ctx.get(), plaintext, &len, ciphertext, static_cast<int>(size)) == 1) &&
             EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagSize),
                                 const_cast<uint8_t*>(tag)) == 1 &&
             EVP_DecryptFinal_ex(ctx.get(), plaintext + (size > 0 ? len : 0), &len) == 1;
    }
    if (!ok && size > 0) OPENSSL_cleanse(plaintext, size);
    return ok;
}

bool deriveStorageKek(const std::string& token, const uint8_t* salt, uint8_t* out) {
    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) return false;
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(token.data()), token.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt), kAesKeySize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kKekInfo), sizeof(kKekInfo) - 1),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(ctx.get(), out, kAesKeySize, params) != 1) {
        OPENSSL_cleanse(out, kAesKeySize);
        return false;
    }
    return true;
}

bool randomBytes(uint8_t* out, size_t size) {
    if (!fitsInt(size)) return false;
    return RAND_bytes(out, static_cast<int>(size)) == 1;
}
