// The two exception types of the engines.
//
// MivrelException carries a failure class that catchers may read (the
// inference API answers LimitExceeded and BadInput as client errors, the
// rest as server errors). The numbers are the classes' stable values.
// GenerationInputError carries the message of one invalid field of an image,
// video or speech request; the inference API answers it as a client error.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

enum class MivrelErrorCode : int {
    NotLoaded = 1,        // the model is not loaded
    LimitExceeded = 2,    // a size limit is exceeded
    BadInput = 3,         // bad or unsupported input
    ContextFailed = 4,    // the context cannot be made
    LoadFailed = 5,       // loading the model or its settings failed
    RuntimeFailed = 6,    // a runtime failure during work
    KvSaveFailed = 7,     // saving the KV state failed
    KvRestoreFailed = 8,  // restoring the KV state failed
};

class MivrelException : public std::exception {
public:
    // The message is formatString(format, ...).
    MivrelException(MivrelErrorCode code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    const char* what() const noexcept override { return message.c_str(); }

    MivrelErrorCode code;
    std::string message;
};

class GenerationInputError : public std::runtime_error {
public:
    explicit GenerationInputError(const std::string& message) : std::runtime_error(message) {}
};
