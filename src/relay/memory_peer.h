// A relayed connection as a Peer of the HTTP layer, backed by a
// MemoryChannel instead of a socket: HttpServ serves it exactly like a TCP
// peer. Its address is "rtc" and its port 0; nothing a client sends can make
// a socket peer look like it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/streams.h"
#include "relay/memory_channel.h"

namespace mivrelable::rtc {

class MemoryInputStream;
class MemoryOutputStream;

// Owned by the thread that runs HttpServ for it. close() is safe from any
// thread; the streams are used by the owning thread only.
class MemoryPeer : public Peer {
public:
    // Shares the channel with the relay's pump. Takes its id from a
    // process-wide counter that starts at 1000000.
    explicit MemoryPeer(std::shared_ptr<MemoryChannel> channel);
    ~MemoryPeer() override;  // closes the server side
    MemoryPeer(const MemoryPeer&) = delete;
    MemoryPeer& operator=(const MemoryPeer&) = delete;

    void close() override;
    InputStream* getInputStream() override;
    OutputStream* getOutputStream() override;
    uint32_t getId() const override { return id_; }
    std::string getAddress() const override { return "rtc"; }
    uint16_t getPort() const override { return 0; }

private:
    std::shared_ptr<MemoryChannel> channel_;
    std::unique_ptr<MemoryInputStream> input_;
    std::unique_ptr<MemoryOutputStream> output_;
    uint32_t id_;
};

}  // namespace mivrelable::rtc
