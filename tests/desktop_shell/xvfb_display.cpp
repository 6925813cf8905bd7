#include "desktop_shell/xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtk/gtk.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "support/test_paths.h"

extern char** environ;

namespace {

// Starts `args` with its standard output on a pipe and returns the first
// line it writes (within 15 s), or "" when it cannot start or says nothing.
std::string spawnAndReadLine(std::vector<std::string> args, const std::string& fdPlaceholder, pid_t* pid) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    for (auto& a : args) {
        const size_t at = a.find(fdPlaceholder);
        if (at != std::string::npos) a.replace(at, fdPlaceholder.size(), std::to_string(fds[1]));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string line;
    if (rc != 0) {
        *pid = -1;
    } else {
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 15000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            line.push_back(c);
        }
    }
    ::close(fds[0]);
    return line;
}

struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    }
};

struct Xvfb {
    pid_t pid = -1;
    std::string display;
    std::string failure;
    ~Xvfb() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    }
};

Xvfb& startOnce() {
    static Xvfb server;
    static bool tried = false;
    if (tried) return server;
    tried = true;
    const std::string number = spawnAndReadLine({"Xvfb", "-displayfd", "@fd", "-screen", "0", "1600x1200x24",
                                                 "-nolisten", "tcp", "-noreset"},
                                                "@fd", &server.pid);
    if (server.pid <= 0) {
        server.failure = "Xvfb cannot be started (package xvfb missing?)";
        return server;
    }
    if (number.empty()) {
        server.failure = "Xvfb did not report a display";
        return server;
    }
    server.display = ":" + number;
    ::setenv("DISPLAY", server.display.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    // Web views on Xvfb draw without GPU compositing; no accessibility bus.
    ::setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    return server;
}

}  // namespace

std::string ensureSessionBus() {
    static Child bus;
    static std::string address;
    static bool tried = false;
    if (tried) return address;
    tried = true;
    address = spawnAndReadLine({"dbus-daemon", "--session", "--nofork", "--print-address=@fd"}, "@fd", &bus.pid);
    if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return address;
}

std::string ensureXvfb(std::string* why) {
    Xvfb& server = startOnce();
    if (server.display.empty() && why) *why = server.failure;
    return server.display;
}

bool ensureGtk(std::string* why) {
    if (ensureXvfb(why).empty()) return false;
    ensureSessionBus();
    static const bool ready = gtk_init_check(nullptr, nullptr);
    if (!ready && why) *why = "GTK cannot open the Xvfb display";
    return ready;
}

std::string screenshotDir() {
    const std::string dir = builtProgramsDir() + "/../desktop-screenshots";
    std::filesystem::create_directories(dir);
    return std::filesystem::weakly_canonical(dir).string();
}
