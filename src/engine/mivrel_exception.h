// The two exception types of the engines.
//
// MivrelException carries a failure class that catchers may read:
//   1 the model is not loaded          5 loading the model or its settings failed
//   2 a size limit is exceeded         6 a runtime failure during work
//   3 bad or unsupported input         7 saving the KV state failed
//   4 the context cannot be made       8 restoring the KV state failed
// GenerationInputError carries the message of one invalid field of an image,
// video or speech request; the inference API answers it as a client error.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

class MivrelException : public std::exception {
public:
    // The message is formatString(format, ...).
    MivrelException(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    const char* what() const noexcept override { return message.c_str(); }

    int code;
    std::string message;
};

class GenerationInputError : public std::runtime_error {
public:
    explicit GenerationInputError(const std::string& message) : std::runtime_error(message) {}
};
