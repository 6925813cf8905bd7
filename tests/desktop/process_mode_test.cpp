// Desktop or headless, and the second start's request to the running one.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "desktop/process_mode.h"
#include "desktop/second_instance.h"
#include "support/temp_dir.h"

namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) saved_ = old, had_ = true;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) ::setenv(name_, saved_.c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

TEST(ProcessMode, DisplayAndHeadlessSwitch) {
    struct Case {
        const char* display;
        const char* wayland;
        bool headlessArg;
        bool desktop;
    };
    const Case cases[] = {
        {nullptr, nullptr, false, false}, {":5", nullptr, false, true}, {nullptr, "wayland-0", false, true},
        {"", "", false, false},           {":5", nullptr, true, false},
    };
    for (const Case& c : cases) {
        ScopedEnv display("DISPLAY", c.display);
        ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
        std::vector<std::string> args = {"brisvanesrv", "--verbose"};
        if (c.headlessArg) args.push_back("--headless");
        args.push_back("--conf");
        args.push_back("x.conf");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        const ProcessMode mode = chooseProcessMode(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(mode.desktop, c.desktop) << (c.display ? c.display : "-") << " " << c.headlessArg;
        ASSERT_EQ(mode.serverArgs.size(), 5u) << "the switch is taken out, a null ends the list";
        EXPECT_STREQ(mode.serverArgs[0], "brisvanesrv");
        EXPECT_STREQ(mode.serverArgs[2], "--conf");
        EXPECT_EQ(mode.serverArgs[4], nullptr);
    }
}

TEST(SecondInstance, SocketBesideTheLockAndTheShowRequest) {
    EXPECT_EQ(instanceSocketPath("/run/user/1/brisvanesrv.lock"), "/run/user/1/brisvanesrv.sock");
    EXPECT_EQ(instanceSocketPath("/tmp/other"), "/tmp/other.sock");

    TempDir dir;
    const std::string path = dir.file("i.sock");
    EXPECT_FALSE(askRunningInstanceToShow(path)) << "nothing listens";

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::string received;
    std::thread server([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char buffer[64];
        ssize_t n;
        while ((n = ::read(peer, buffer, sizeof(buffer))) > 0) received.append(buffer, static_cast<size_t>(n));
        ::close(peer);
    });
    EXPECT_TRUE(askRunningInstanceToShow(path));
    server.join();
    ::close(listener);
    EXPECT_EQ(received, "show\n");
}

}  // namespace
