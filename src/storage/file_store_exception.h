// The one error type of the file store. Every failure of the container and of
// FileStore is reported as a FileStoreException whose kind tells callers how
// to answer it; what() is the text shown to the client.
#pragma once

#include <stdexcept>
#include <string>

class FileStoreException : public std::runtime_error {
public:
    enum Kind : int {
        kInvalidName = 0,   // "invalid file name: " + name
        kNotFound = 1,      // "file not found: " + name
        kIo = 2,            // I/O error, corruption, store not open or not ready
        kKeyRequired = 3,   // "storage key (Bearer) is required", "storage is locked"
        kKeyMismatch = 4,   // "storage key does not match"
        kPlainStore = 5,    // encryption required, but the store holds plain data
    };

    FileStoreException(int kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    int kind() const noexcept { return kind_; }

private:
    int kind_;
};
