#include "support/zip_writer.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zip.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

uint32_t read32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
uint16_t read16(const std::string& bytes, size_t at) {
    uint16_t value = 0;
    std::memcpy(&value, bytes.data() + at, 2);
    return value;
}

}  // namespace

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << "zip_open " << path << " error " << error;
    for (const ZipEntry& entry : entries) {
        zip_source_t* source = entry.fromDisk
                                   ? zip_source_file(archive, entry.content.c_str(), 0, -1)
                                   : zip_source_buffer(archive, entry.content.data(), entry.content.size(), 0);
        ASSERT_NE(source, nullptr) << zip_strerror(archive);
        const zip_int64_t index =
            entry.name.back() == '/' ? zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8)
                                     : zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (entry.name.back() == '/') zip_source_free(source);
        ASSERT_GE(index, 0) << entry.name << ": " << zip_strerror(archive);
        if (entry.fromDisk) zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        ASSERT_EQ(zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                                   static_cast<zip_uint32_t>(entry.mode) << 16),
                  0);
    }
    // The buffers must live until the archive is written.
    ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

void forgeUncompressedSize(const std::string& path, const std::string& name, uint32_t size) {
    std::string bytes = readAll(path);
    bool local = false;
    bool central = false;
    for (size_t at = 0; at + 46 <= bytes.size(); ++at) {
        const uint32_t signature = read32(bytes, at);
        if (signature == 0x04034b50 && at + 30 <= bytes.size()) {
            const uint16_t nameLength = read16(bytes, at + 26);
            if (bytes.compare(at + 30, nameLength, name) == 0 && nameLength == name.size()) {
                std::memcpy(&bytes[at + 22], &size, 4);
                local = true;
            }
        } else if (signature == 0x02014b50) {
            const uint16_t nameLength = read16(bytes, at + 28);
            if (bytes.compare(at + 46, nameLength, name) == 0 && nameLength == name.size()) {
                std::memcpy(&bytes[at + 24], &size, 4);
                central = true;
            }
        }
    }
    ASSERT_TRUE(local && central) << "entry " << name << " not found in " << path;
    writeAll(path, bytes);
}

std::string sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> block(1 << 20);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        if (in.gcount() > 0) EVP_DigestUpdate(context, block.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}
