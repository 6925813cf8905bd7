// The socket layer: name resolution, listening errors, waiting with a
// time-out, waking a blocked thread with shutdown, and sends to a reset peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/socket_errors.h"
#include "platform/tcp_socket.h"

namespace {

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = loopback();
    remote.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(TcpSocket, ResolvesDottedTextAndNames) {
    uint32_t address = 0;
    std::string error;
    ASSERT_TRUE(resolveIpv4("127.0.0.1", &address, &error));
    EXPECT_EQ(address, loopback());
    ASSERT_TRUE(resolveIpv4("localhost", &address, &error)) << error;
    EXPECT_EQ(ntohl(address) >> 24, 127u);
    EXPECT_FALSE(resolveIpv4("", &address, &error));
    EXPECT_FALSE(resolveIpv4("no-such-host.invalid", &address, &error));
    EXPECT_NE(error.find("no-such-host.invalid"), std::string::npos);
}

TEST(TcpSocket, ListenAcceptAndEndpoints) {
    std::string error;
    const int listener = openListeningSocket(loopback(), 0, 20, &error);
    ASSERT_GE(listener, 0) << error;
    const uint16_t port = socketLocalPort(listener);
    ASSERT_NE(port, 0);

    const int busy = openListeningSocket(loopback(), port, 20, &error);
    EXPECT_EQ(busy, -1);
    EXPECT_EQ(error.rfind("bind() failed: ", 0), 0u) << error;

    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    const int server = acceptConnection(listener);
    ASSERT_GE(server, 0);
    EXPECT_TRUE(setNoDelay(server));
    std::string address;
    uint16_t remotePort = 0;
    socketRemoteEndpoint(server, &address, &remotePort);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(remotePort, socketLocalPort(client));
    closeSocket(client);
    closeSocket(server);
    closeSocket(listener);
}

TEST(TcpSocket, WaitTimesOutAndShutdownWakesAWaiter) {
    std::string error;
    const int listener = openListeningSocket(loopback(), 0, 20, &error);
    const int client = connectTo(socketLocalPort(listener));
    const int server = acceptConnection(listener);
    EXPECT_EQ(waitReadable(server, 20), 0);

    int woke = -2;
    std::thread waiter([&] { woke = waitReadable(server, 10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    shutdownSocket(server);
    waiter.join();
    EXPECT_EQ(woke, 1);
    char byte;
    EXPECT_EQ(receiveSome(server, &byte, 1), 0) << "a shut-down socket reads as ended";
    closeSocket(client);
    closeSocket(server);
    closeSocket(listener);
}

TEST(TcpSocket, SendToAResetPeerFailsWithoutSignal) {
    std::string error;
    const int listener = openListeningSocket(loopback(), 0, 20, &error);
    const int client = connectTo(socketLocalPort(listener));
    const int server = acceptConnection(listener);
    linger reset{1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string data(1 << 16, 'x');
    ssize_t n = 0;
    for (int i = 0; i < 50 && n >= 0; ++i) n = sendSome(server, data.data(), data.size());
    ASSERT_EQ(n, -1) << "the process is still alive and the send failed";
    EXPECT_EQ(winsockErrorFromErrno(errno), sockerr::kConnectionReset);
    closeSocket(server);
    closeSocket(listener);
}

}  // namespace
