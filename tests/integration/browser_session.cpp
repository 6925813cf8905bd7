#include "browser_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/temp_dir.h"

namespace {

using nlohmann::json;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string decodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    int bits = 0;
    unsigned buffer = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0) continue;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

}  // namespace

std::string chromiumPath() {
    for (const char* candidate : {"/usr/bin/chromium", "/usr/lib/chromium/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(candidate, X_OK) == 0) return candidate;
    }
    return std::string();
}

BrowserSession::BrowserSession() : profile_(std::make_unique<TempDir>()) {}

BrowserSession::~BrowserSession() {
    if (toBrowser_ >= 0) ::close(toBrowser_);
    if (fromBrowser_ >= 0) ::close(fromBrowser_);
    if (pid_ > 0) {
        // Closing the pipe asks the browser to quit; it gets a moment.
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string BrowserSession::browserLog() const {
    std::ifstream in(profile_->file("browser.log"));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool BrowserSession::start(int width, int height) {
    const std::string program = chromiumPath();
    if (program.empty()) {
        error_ = "chromium is not installed (scripts/setup.sh installs it)";
        return false;
    }
    int toPipe[2];
    int fromPipe[2];
    if (::pipe(toPipe) != 0 || ::pipe(fromPipe) != 0) {
        error_ = "pipe failed";
        return false;
    }
    const std::string userData = "--user-data-dir=" + profile_->file("profile");
    const std::string logPath = profile_->file("browser.log");
    std::vector<std::string> args = {program,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-dev-shm-usage",
                                     "--remote-debugging-pipe",
                                     userData,
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-extensions",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-default-apps",
                                     "--disable-features=Translate,MediaRouter,OptimizationHints",
                                     "--mute-audio",
                                     "--hide-scrollbars",
                                     "--no-proxy-server",
                                     // Nothing but the loopback server is reachable.
                                     "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     "about:blank"};
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        // The browser reads commands on descriptor 3 and writes on 4.
        const int in = ::dup(toPipe[0]);
        const int out = ::dup(fromPipe[1]);
        ::dup2(in, 3);
        ::dup2(out, 4);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        for (int fd = 5; fd < 1024; ++fd) ::close(fd);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    ::close(toPipe[0]);
    ::close(fromPipe[1]);
    toBrowser_ = toPipe[1];
    fromBrowser_ = fromPipe[0];
    ::fcntl(toBrowser_, F_SETFD, FD_CLOEXEC);
    ::fcntl(fromBrowser_, F_SETFD, FD_CLOEXEC);

    const json target = call("Target.createTarget", {{"url", "about:blank"}}, false, 60000);
    if (target.is_null()) return false;
    const json attached =
        call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    if (attached.is_null()) return false;
    sessionId_ = attached["sessionId"].get<std::string>();
    for (const char* domain : {"Runtime.enable", "Log.enable", "Page.enable"}) {
        if (call(domain).is_null()) return false;
    }
    return resize(width, height);
}

bool BrowserSession::resize(int width, int height) {
    return !call("Emulation.setDeviceMetricsOverride",
                 {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}})
                .is_null();
}

bool BrowserSession::readMessage(json* message, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const size_t end = buffer_.find('\0');
        if (end != std::string::npos) {
            const std::string text = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            *message = json::parse(text, nullptr, false);
            return !message->is_discarded();
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        pollfd pfd{fromBrowser_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready <= 0) continue;
        char chunk[65536];
        const ssize_t got = ::read(fromBrowser_, chunk, sizeof chunk);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

void BrowserSession::handleEvent(const json& message) {
    const std::string method = message.value("method", "");
    const json& params = message.contains("params") ? message["params"] : json::object();
    if (method == "Runtime.consoleAPICalled" && params.value("type", "") == "error") {
        std::string text;
        for (const json& arg : params["args"]) {
            text += arg.contains("value") ? (arg["value"].is_string() ? arg["value"].get<std::string>() : arg["value"].dump())
                                          : arg.value("description", "");
            text += " ";
        }
        errors_.push_back({"console", text, ""});
    } else if (method == "Runtime.exceptionThrown") {
        const json& details = params["exceptionDetails"];
        std::string text = details.value("text", "");
        if (details.contains("exception")) text += " " + details["exception"].value("description", "");
        errors_.push_back({"exception", text, details.value("url", "")});
    } else if (method == "Log.entryAdded") {
        const json& entry = params["entry"];
        if (entry.value("level", "") == "error") {
            errors_.push_back({entry.value("source", ""), entry.value("text", ""), entry.value("url", "")});
        }
    } else if (method == "Page.javascriptDialogOpening" && acceptDialogs_) {
        json command = {{"id", nextId_++},
                        {"method", "Page.handleJavaScriptDialog"},
                        {"params", {{"accept", true}}},
                        {"sessionId", sessionId_}};
        const std::string text = command.dump() + std::string(1, '\0');
        (void)!::write(toBrowser_, text.data(), text.size());
    }
    events_.push_back(message);
    if (events_.size() > 200) events_.pop_front();
}

json BrowserSession::call(const std::string& method, const json& params, bool onPage, int timeoutMs) {
    const int id = nextId_++;
    json command = {{"id", id}, {"method", method}, {"params", params}};
    if (onPage) command["sessionId"] = sessionId_;
    const std::string text = command.dump() + std::string(1, '\0');
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(toBrowser_, text.data() + sent, text.size() - sent);
        if (n <= 0) {
            error_ = "the browser closed its pipe (" + method + ")";
            return nullptr;
        }
        sent += static_cast<size_t>(n);
    }
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        json message;
        const int64_t left = deadline - nowMs();
        if (left <= 0 || !readMessage(&message, static_cast<int>(left))) {
            error_ = "no answer to " + method;
            return nullptr;
        }
        if (message.contains("id") && message["id"] == id) {
            if (message.contains("error")) {
                error_ = method + ": " + message["error"].dump();
                return nullptr;
            }
            error_.clear();
            return message.contains("result") ? message["result"] : json::object();
        }
        if (message.contains("method")) handleEvent(message);
    }
}

bool BrowserSession::waitEvent(const std::string& method, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if ((*it).value("method", "") == method) {
                events_.erase(events_.begin(), it + 1);
                return true;
            }
        }
        json message;
        const int64_t left = deadline - nowMs();
        if (left <= 0 || !readMessage(&message, static_cast<int>(left))) return false;
        if (message.contains("method")) handleEvent(message);
    }
}

bool BrowserSession::open(const std::string& url, int timeoutMs) {
    events_.clear();
    const json result = call("Page.navigate", {{"url", url}});
    if (result.is_null()) return false;
    if (result.contains("errorText")) {
        error_ = "navigation failed: " + result["errorText"].get<std::string>();
        return false;
    }
    if (!waitEvent("Page.loadEventFired", timeoutMs)) {
        error_ = "no load event for " + url;
        return false;
    }
    return true;
}

json BrowserSession::evaluate(const std::string& expression) {
    const json result = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (result.is_null()) return nullptr;
    if (result.contains("exceptionDetails")) {
        error_ = "evaluation threw: " + result["exceptionDetails"].dump();
        return nullptr;
    }
    const json& value = result["result"];
    return value.contains("value") ? value["value"] : json(nullptr);
}

bool BrowserSession::waitFor(const std::string& expression, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const json value = evaluate("!!(" + expression + ")");
        if (value.is_boolean() && value.get<bool>()) return true;
        if (nowMs() >= deadline) {
            error_ = "timed out waiting for: " + expression;
            return false;
        }
        // Handle what arrived meanwhile, then look again.
        json message;
        if (readMessage(&message, 100) && message.contains("method")) handleEvent(message);
    }
}

bool BrowserSession::setInputFile(const std::string& selector, const std::string& path) {
    const json found = call("Runtime.evaluate", {{"expression", "document.querySelector(" + json(selector).dump() + ")"}});
    if (found.is_null() || !found["result"].contains("objectId")) {
        error_ = "no element " + selector;
        return false;
    }
    return !call("DOM.setFileInputFiles", {{"files", {path}}, {"objectId", found["result"]["objectId"]}}).is_null();
}

void BrowserSession::acceptDialogs() { acceptDialogs_ = true; }

bool BrowserSession::screenshot(const std::string& path) {
    const json result = call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}});
    if (result.is_null()) return false;
    std::ofstream out(path, std::ios::binary);
    out << decodeBase64(result["data"].get<std::string>());
    return static_cast<bool>(out);
}

std::vector<PageError> BrowserSession::takeErrors() {
    // Reports that are already in the pipe belong to what came before.
    json message;
    while (readMessage(&message, 50)) {
        if (message.contains("method")) handleEvent(message);
    }
    std::vector<PageError> out;
    out.swap(errors_);
    return out;
}
