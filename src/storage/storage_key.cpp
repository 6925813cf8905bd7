#include "storage/storage_key.h"

#include <openssl/crypto.h>

StorageKey::~StorageKey() { wipeKey(*this); }

void wipeKey(StorageKey& key) {
    OPENSSL_cleanse(key.dataKey.data(), key.dataKey.size());
    key.valid = false;
}

void secureDeleteKey(uint8_t* key) {
    if (!key) return;
    OPENSSL_cleanse(key, StorageKey::kSize);
    delete[] key;
}
