// An in-memory peer for tests of the HTTP layer: the client's bytes are
// given up front, the server's writes are collected.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "net/io_exception.h"
#include "net/line_reader.h"
#include "net/streams.h"

class FakeInput : public InputStream {
public:
    explicit FakeInput(std::string data) : data_(std::move(data)) {}

    int read(void* buffer, int size) override {
        check();
        if (pos_ >= data_.size()) return endOrTimeout();
        const size_t n = std::min(static_cast<size_t>(size), data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<int>(n);
    }

    int readLine(std::string& line, size_t maxBytes, size_t* strayCarriageReturnAt) override {
        check();
        auto nextByte = [this]() -> int {
            return pos_ < data_.size() ? static_cast<unsigned char>(data_[pos_++]) : -1;
        };
        const int count = readLineBytes(nextByte, line, maxBytes, strayCarriageReturnAt);
        return count >= 0 ? count : endOrTimeout();
    }

    void close() override { closed_ = true; }

    // At the end of the data: report a read time-out instead of the end.
    bool timeoutAtEnd = false;
    size_t consumed() const { return pos_; }

private:
    void check() const {
        if (closed_) throw IOException(-1, "already closed socket");
    }
    int endOrTimeout() const {
        if (timeoutAtEnd) throw IOException(10060, "Connection timed out");
        return -1;
    }

    std::string data_;
    size_t pos_ = 0;
    bool closed_ = false;
};

class FakeOutput : public OutputStream {
public:
    int write(const void* data, int size) override {
        if (failWrites) throw IOException(10054, "write failed: Connection reset by peer");
        written.append(static_cast<const char*>(data), static_cast<size_t>(size));
        largestWrite = std::max(largestWrite, static_cast<size_t>(size));
        ++writes;
        return size;
    }
    void flush() override { ++flushes; }
    void close() override {}

    std::string written;
    int writes = 0;
    int flushes = 0;
    size_t largestWrite = 0;
    bool failWrites = false;
};

class FakePeer : public Peer {
public:
    explicit FakePeer(std::string input, std::string address = "127.0.0.1", uint16_t port = 40000)
        : input_(std::move(input)), address_(std::move(address)), port_(port) {}

    void close() override { closed = true; }
    InputStream* getInputStream() override { return &input_; }
    OutputStream* getOutputStream() override { return &output_; }
    uint32_t getId() const override { return 7; }
    std::string getAddress() const override { return address_; }
    uint16_t getPort() const override { return port_; }

    FakeInput& input() { return input_; }
    FakeOutput& output() { return output_; }
    bool closed = false;

private:
    FakeInput input_;
    FakeOutput output_;
    std::string address_;
    uint16_t port_;
};
