// A headless Chromium for page tests, driven over the DevTools protocol
// through its debugging pipe (file descriptors 3 and 4, NUL-separated JSON
// messages): no websocket and no network beyond the loopback server.
//
// One page (target) per session. Console errors, uncaught exceptions and
// failed loads are collected as they are reported. Used by one test thread.
#pragma once

#include <sys/types.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class TempDir;

// One error the page reported: a console.error call, an uncaught exception,
// or a browser log entry ("network" for failed loads, with their URL).
struct PageError {
    std::string source;
    std::string text;
    std::string url;
};

class BrowserSession {
public:
    BrowserSession();
    // Ends the browser (closing the pipe, then SIGKILL if it lingers).
    ~BrowserSession();
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    // Starts the browser and opens an empty page of `width` x `height` CSS
    // pixels. False (with the reason in error()) when it cannot.
    bool start(int width = 1280, int height = 900);

    // Navigates and waits for the load event. False on a navigation error or
    // when no load event comes within `timeoutMs`.
    bool open(const std::string& url, int timeoutMs = 20000);

    // Evaluates `expression` in the page (promises awaited) and returns its
    // value; a JSON null with error() set when it throws.
    nlohmann::json evaluate(const std::string& expression);

    // Polls `expression` until it is truthy (true) or `timeoutMs` passes.
    bool waitFor(const std::string& expression, int timeoutMs = 20000);

    // Gives the <input type=file> that `selector` names the file at `path`
    // (the input's change event fires).
    bool setInputFile(const std::string& selector, const std::string& path);

    // Answers window.confirm dialogs with OK from now on.
    void acceptDialogs();

    // Changes the viewport size.
    bool resize(int width, int height);

    // Writes a PNG of the full page to `path`.
    bool screenshot(const std::string& path);

    // Errors the page reported since the last takeErrors().
    std::vector<PageError> takeErrors();

    const std::string& error() const { return error_; }
    // The browser's own output, for failure messages.
    std::string browserLog() const;

private:
    // Sends one command and waits for its answer, handling the events that
    // arrive meanwhile. Returns the "result", or null with error_ set.
    nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        bool onPage = true, int timeoutMs = 30000);
    // Reads one message within `timeoutMs` (false on time-out or end).
    bool readMessage(nlohmann::json* message, int timeoutMs);
    void handleEvent(const nlohmann::json& message);
    // Waits for an event of the page with this method name.
    bool waitEvent(const std::string& method, int timeoutMs);

    std::unique_ptr<TempDir> profile_;
    pid_t pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    std::string buffer_;
    int nextId_ = 1;
    std::string sessionId_;
    std::deque<nlohmann::json> events_;
    std::vector<PageError> errors_;
    bool acceptDialogs_ = false;
    std::string error_;
};

// The chromium program of the machine ("" when it is not installed).
std::string chromiumPath();
