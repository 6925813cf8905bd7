#include "relay/memory_peer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "net/io_exception.h"
#include "net/line_reader.h"

namespace mivrelable::rtc {

namespace {

std::atomic<uint32_t> gNextMemoryPeerId{1000000};

// Read-ahead per stream: lines are parsed from it instead of one locked
// channel read per byte.
constexpr size_t kReadAheadBytes = 16 * 1024;

}  // namespace

class MemoryInputStream : public InputStream {
public:
    explicit MemoryInputStream(std::shared_ptr<MemoryChannel> channel)
        : channel_(std::move(channel)), buffer_(kReadAheadBytes) {}

    int read(void* buffer, int size) override {
        if (size <= 0) return 0;
        if (begin_ < end_) {
            const size_t k = std::min(end_ - begin_, static_cast<size_t>(size));
            std::memcpy(buffer, buffer_.data() + begin_, k);
            begin_ += k;
            return static_cast<int>(k);
        }
        return channel_->serverRead(buffer, static_cast<uint64_t>(size), deadline_);
    }

    int readLine(std::string& line, size_t maxBytes, size_t* strayCarriageReturnAt) override {
        auto nextByte = [this]() -> int {
            if (begin_ == end_ && !fill()) return -1;
            return static_cast<unsigned char>(buffer_[begin_++]);
        };
        return readLineBytes(nextByte, line, maxBytes, strayCarriageReturnAt);
    }

    void close() override { channel_->serverClose(); }

    void waitForData() override {
        if (begin_ < end_) return;
        channel_->serverWaitReadable(deadline_);
    }
    void setDeadline(std::chrono::steady_clock::time_point deadline) override { deadline_ = deadline; }
    void clearDeadline() override { deadline_.reset(); }

private:
    bool fill() {
        const int32_t n = channel_->serverRead(buffer_.data(), buffer_.size(), deadline_);
        if (n <= 0) return false;
        begin_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }

    std::shared_ptr<MemoryChannel> channel_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

class MemoryOutputStream : public OutputStream {
public:
    explicit MemoryOutputStream(std::shared_ptr<MemoryChannel> channel) : channel_(std::move(channel)) {}

    int write(const void* data, int size) override {
        if (size <= 0) return 0;
        return static_cast<int>(channel_->serverWrite(data, static_cast<uint64_t>(size), abandon_));
    }
    void flush() override {}
    void close() override { channel_->serverClose(); }
    void setAbandonCheck(std::function<bool()> abandon) override { abandon_ = std::move(abandon); }

private:
    std::shared_ptr<MemoryChannel> channel_;
    std::function<bool()> abandon_;
};

MemoryPeer::MemoryPeer(std::shared_ptr<MemoryChannel> channel)
    : channel_(std::move(channel)),
      input_(std::make_unique<MemoryInputStream>(channel_)),
      output_(std::make_unique<MemoryOutputStream>(channel_)),
      id_(gNextMemoryPeerId.fetch_add(1)) {}

MemoryPeer::~MemoryPeer() {
    channel_->serverClose();
    output_.reset();
    input_.reset();
}

void MemoryPeer::close() { channel_->serverClose(); }
InputStream* MemoryPeer::getInputStream() { return input_.get(); }
OutputStream* MemoryPeer::getOutputStream() { return output_.get(); }

}  // namespace mivrelable::rtc
