// One HTTP reply as a plain record, and the wire texts the inference API
// shares: the server-sent event frame and the JSON error body.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Response {
    std::string version = "HTTP/1.1";
    int status = 200;
    std::string reason = "OK";
    // Names as set, in byte order; setting a name again replaces its value.
    std::map<std::string, std::string> headers;
    std::vector<uint8_t> body;

    // Copies `bytes` into the body and sets "Content-Length" to its size.
    void setBody(const std::vector<uint8_t>& bytes);
    void setBody(const std::string& text);
};

// The reason phrase HTTP/1.1 assigns to `status` ("Unknown" for codes it does
// not name).
const char* reasonPhrase(int status);

// "event: " + event + "\ndata: " + data + "\n\n"; `data` goes in unchanged, so
// callers pass single-line text.
std::string formatSseEvent(const std::string& event, const std::string& data);

// {"error":{"code":..,"httpStatus":..,"message":..}} compact, "httpStatus"
// only when above 0. Bytes of `message` or `code` that are not valid UTF-8
// come out as U+FFFD.
std::string makeErrorJson(const std::string& code, const std::string& message, int httpStatus);
