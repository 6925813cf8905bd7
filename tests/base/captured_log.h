// Collects the log lines written while it lives. Every capture sends the
// process's log to one temporary file at level 9 (other tests of the same
// program may have moved it meanwhile).
#pragma once

#include <cstdio>
#include <string>

#include "base/logger.h"

class CapturedLog {
public:
    CapturedLog() : file_(sharedFile()) {
        setLogEnabled(true);
        setLogFile(file_);
        setLogLevel(9);
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        start_ = std::ftell(file_);
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::string text() const {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        const long end = std::ftell(file_);
        std::string out(static_cast<size_t>(end - start_), '\0');
        std::fseek(file_, start_, SEEK_SET);
        out.resize(std::fread(out.data(), 1, out.size(), file_));
        std::fseek(file_, 0, SEEK_END);
        return out;
    }

    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
    static FILE* sharedFile() {
        static FILE* file = std::tmpfile();
        return file;
    }

    FILE* file_;
    long start_ = 0;
};
