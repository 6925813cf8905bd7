// The memory channel between the relay's pump and the HTTP loop, and the
// memory peer HttpServ reads it through.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <thread>

#include "net/io_exception.h"
#include "relay/memory_channel.h"
#include "relay/memory_peer.h"

namespace {

using mivrelable::rtc::MemoryChannel;
using mivrelable::rtc::MemoryPeer;
using namespace std::chrono_literals;

std::string pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

int ioCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const IOException& e) {
        return e.code();
    }
    return 0;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

TEST(MemoryChannel, RingsNeitherOverflowNorLoseBytesInEitherDirection) {
    MemoryChannel channel(1024, 4096, 5);
    const std::string big(2048, 'x');
    EXPECT_EQ(channel.write(big.data(), big.size()), 1024) << "a partial write fills the ring";
    EXPECT_EQ(channel.write(big.data(), big.size()), 0) << "a full ring takes nothing, drops nothing";
    char buffer[4096];
    EXPECT_EQ(channel.serverRead(buffer, 10), 10);

    // 1 MB relay -> server through a 1 KiB ring with a relay side that only
    // retries, and 1 MB server -> relay through a 4 KiB ring with a server
    // side that waits: every byte arrives in order.
    MemoryChannel pipe(1024, 4096, 5);
    const std::string inbound = pattern(1 << 20, 1);
    const std::string outbound = pattern(1 << 20, 2);
    std::string gotInbound;
    std::thread server([&] {
        std::vector<char> chunk(777);
        for (;;) {
            const int n = pipe.serverRead(chunk.data(), chunk.size());
            if (n < 0) break;
            gotInbound.append(chunk.data(), static_cast<size_t>(n));
        }
        EXPECT_EQ(pipe.serverWrite(outbound.data(), outbound.size()), outbound.size());
        pipe.serverClose();
    });
    size_t sent = 0;
    while (sent < inbound.size()) {
        const int32_t n = pipe.write(inbound.data() + sent, std::min<size_t>(inbound.size() - sent, 5000));
        ASSERT_GE(n, 0);
        sent += static_cast<size_t>(n);
        if (n == 0) std::this_thread::yield();
    }
    pipe.finishWrite();
    std::string gotOutbound;
    for (;;) {
        const int32_t n = pipe.read(buffer, 3000);
        if (n < 0) break;
        gotOutbound.append(buffer, static_cast<size_t>(n));
        if (n == 0) std::this_thread::yield();
    }
    server.join();
    EXPECT_TRUE(gotInbound == inbound);
    EXPECT_TRUE(gotOutbound == outbound);
}

TEST(MemoryChannel, EndOfInputClosesAndTimeOuts) {
    char buffer[16];
    {
        MemoryChannel channel(64, 64, 5);
        ASSERT_EQ(channel.write("0123456789", 10), 10);
        channel.finishWrite();
        EXPECT_EQ(channel.serverRead(buffer, 4), 4);
        EXPECT_EQ(channel.serverRead(buffer, 4), 4);
        EXPECT_EQ(channel.serverRead(buffer, 4), 2);
        EXPECT_EQ(channel.serverRead(buffer, 4), -1);
        EXPECT_EQ(channel.serverRead(buffer, 0), 0);
    }
    {
        MemoryChannel channel(64, 64, 5);
        ASSERT_EQ(channel.write("abc", 3), 3);
        channel.close();
        EXPECT_EQ(channel.serverRead(buffer, 16), 3) << "stored bytes come before the end";
        EXPECT_EQ(channel.serverRead(buffer, 16), -1);
        EXPECT_EQ(ioCode([&] { channel.serverWrite("x", 1); }), 10054);
        EXPECT_EQ(channel.write("x", 1), -1);
    }
    {
        MemoryChannel channel(64, 64, 5);
        ASSERT_EQ(channel.write("abc", 3), 3);
        channel.serverWrite("reply", 5);
        channel.serverClose();
        EXPECT_EQ(ioCode([&] { channel.serverRead(buffer, 16); }), -1);
        EXPECT_EQ(channel.write("x", 1), -1);
        EXPECT_EQ(channel.read(buffer, 16), 5) << "the relay still drains the reply";
        EXPECT_EQ(channel.read(buffer, 16), -1);
        EXPECT_EQ(channel.serverRead(buffer, 0), 0);
    }
    {
        MemoryChannel channel(64, 64, 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ioCode([&] { channel.serverRead(buffer, 16); }), 10060);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "a time-out of 0 does not wait";
    }
}

TEST(MemoryChannel, AClosedChannelWakesBothWaitingServerSides) {
    MemoryChannel channel(64, 64, 30);
    ASSERT_EQ(channel.serverWrite(std::string(64, 'f').data(), 64), 64u);
    int readerCode = 0;
    int writerCode = 0;
    std::thread reader([&] { readerCode = ioCode([&] {
                                 char b[8];
                                 EXPECT_EQ(channel.serverRead(b, 8), -1);
                             }); });
    std::thread writer([&] { writerCode = ioCode([&] { channel.serverWrite("more", 4); }); });
    std::this_thread::sleep_for(100ms);
    channel.close();
    reader.join();
    writer.join();
    EXPECT_EQ(readerCode, 0) << "the reader sees the end of the stream";
    EXPECT_EQ(writerCode, 10054) << "the writer fails instead of waiting for ever";

    // A writer on a full ring whose relay takes nothing gives up after the
    // read time-out rather than pinning its thread.
    MemoryChannel stalled(64, 8, 1);
    EXPECT_EQ(ioCode([&] { stalled.serverWrite(std::string(16, 's').data(), 16); }), 10060);
    char b[16];
    EXPECT_EQ(stalled.read(b, 16), 8) << "what was stored before the failure stays readable";
}

TEST(MemoryChannel, WakeDescriptorTellsThePumpOncePerLookWhenTheServerSideMoved) {
    MemoryChannel channel(4, 64, 5);
    channel.armWake();
    EXPECT_FALSE(readable(channel.wakeFd()));
    channel.serverWrite("hi", 2);
    EXPECT_TRUE(readable(channel.wakeFd()));
    channel.drainWake();
    EXPECT_FALSE(readable(channel.wakeFd()));
    channel.serverWrite("yo", 2);
    EXPECT_FALSE(readable(channel.wakeFd())) << "until the pump looks again, one signal covers every change";
    channel.armWake();
    channel.serverWrite("!", 1);
    EXPECT_TRUE(readable(channel.wakeFd()));

    // While the pump spins it looks anyway: no signal until it arms again.
    channel.drainWake();
    channel.holdWake();
    channel.serverWrite("s", 1);
    EXPECT_FALSE(readable(channel.wakeFd()));
    channel.armWake();
    channel.serverWrite("a", 1);
    EXPECT_TRUE(readable(channel.wakeFd()));

    channel.drainWake();
    channel.armWake();
    ASSERT_EQ(channel.write("abcdef", 6), 4);
    char b[4];
    EXPECT_EQ(channel.serverRead(b, 4), 4);
    EXPECT_TRUE(readable(channel.wakeFd())) << "room in a full inbound ring is news for the pump";
    channel.drainWake();
    channel.armWake();
    channel.serverClose();
    EXPECT_TRUE(readable(channel.wakeFd()));
}

// The pump's own loop (a few looks while holding the notice, as it spins
// after traffic, then arm, look, sleep on the descriptor) against a server
// side that answers every request at once: a change that slips between the
// pump's last look and its sleep without a signal leaves the pump asleep, and
// the exchange stalls for the whole poll time-out.
TEST(MemoryChannel, PumpSleepingOnTheWakeDescriptorMissesNoReply) {
    constexpr int kExchanges = 3000;
    MemoryChannel channel(64, 64, 5);
    std::thread server([&] {
        char request[8];
        for (int i = 0; i < kExchanges; ++i) {
            if (channel.serverRead(request, sizeof request) != 1) return;
            channel.serverWrite("r", 1);
        }
    });
    int answered = 0;
    int stalls = 0;
    for (int i = 0; i < kExchanges && stalls == 0; ++i) {
        if (channel.write("q", 1) != 1) {
            ADD_FAILURE() << "the request did not fit";
            break;
        }
        char reply;
        bool got = false;
        channel.holdWake();
        for (int look = 0; look < i % 4 && !got; ++look) got = channel.read(&reply, 1) == 1;
        if (got) {
            ++answered;
            continue;
        }
        for (;;) {
            channel.armWake();
            const int32_t n = channel.read(&reply, 1);
            if (n == 1) {
                ++answered;
                break;
            }
            pollfd p{channel.wakeFd(), POLLIN, 0};
            if (::poll(&p, 1, 2000) == 0) {
                ++stalls;
                break;
            }
            channel.drainWake();
        }
    }
    channel.close();
    server.join();
    EXPECT_EQ(stalls, 0);
    EXPECT_EQ(answered, kExchanges);
}

// The first memory peer of a process is 1000000 and the next 1000001: the
// check runs in a fresh copy of this program, where no test made one before.
TEST(MemoryPeer, IdsStartAtOneMillionInEveryProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            MemoryPeer first(std::make_shared<MemoryChannel>(16, 16, 1));
            MemoryPeer second(std::make_shared<MemoryChannel>(16, 16, 1));
            std::fprintf(stderr, "ids %u %u\n", first.getId(), second.getId());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "ids 1000000 1000001");
}

TEST(MemoryPeer, IdsAddressLinesAndClose) {
    auto channel = std::make_shared<MemoryChannel>(256, 256, 5);
    MemoryPeer peer(channel);
    MemoryPeer next(std::make_shared<MemoryChannel>(16, 16, 1));
    EXPECT_GE(peer.getId(), 1000000u);
    EXPECT_EQ(next.getId(), peer.getId() + 1);
    EXPECT_EQ(peer.getAddress(), "rtc");
    EXPECT_EQ(peer.getPort(), 0);

    const std::string input = "GET /v1/mivrels\r\na\rb\n\r\n";
    ASSERT_EQ(channel->write(input.data(), input.size()), static_cast<int32_t>(input.size()));
    channel->finishWrite();
    InputStream* in = peer.getInputStream();
    std::string line;
    EXPECT_EQ(in->readLine(line), 15);
    EXPECT_EQ(line, "GET /v1/mivrels");
    line.clear();
    EXPECT_EQ(in->readLine(line), 2);
    EXPECT_EQ(line, "ab");
    line.clear();
    EXPECT_EQ(in->readLine(line), 0) << "CR LF alone is an empty line";
    EXPECT_EQ(in->readLine(line), -1);

    EXPECT_EQ(peer.getOutputStream()->write("ok", 2), 2);
    peer.close();
    EXPECT_EQ(ioCode([&] { peer.getOutputStream()->write("x", 1); }), -1);
    char b[8];
    EXPECT_EQ(channel->read(b, 8), 2);
    EXPECT_EQ(channel->read(b, 8), -1);
}

}  // namespace
