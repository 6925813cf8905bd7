#include "net/http_request_handler.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/case_fold.h"
#include "net/io_exception.h"
#include "net/streams.h"
#include "platform/memory_release.h"

namespace {
const char kWaiting[] = " (이후 다음 요청 대기 중)";

// A reply body up to this size goes out in one write with its head.
constexpr size_t kJoinedBodyBytes = 256 * 1024;

// A request or reply buffer at least this large is given back to the system
// when its request ends.
constexpr size_t kLargeBuffer = 1024 * 1024;

// Frees a large request body or reply body when one request ends, on every
// way out, and hands the memory back to the system: the allocator would keep
// it resident for reuse otherwise.
class LargeBufferRelease {
public:
    LargeBufferRelease(Request& request, Response& response) : request_(request), response_(response) {}
    ~LargeBufferRelease() {
        if (request_.body.capacity() < kLargeBuffer && response_.body.capacity() < kLargeBuffer) return;
        std::vector<uint8_t>().swap(request_.body);
        std::vector<uint8_t>().swap(response_.body);
        returnFreedMemoryToSystem();
    }
    LargeBufferRelease(const LargeBufferRelease&) = delete;
    LargeBufferRelease& operator=(const LargeBufferRelease&) = delete;

private:
    Request& request_;
    Response& response_;
};

std::string headText(const Response& response) {
    std::string head = response.version + " " + std::to_string(response.status) + " " + response.reason + "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    return head;
}
}  // namespace

HttpRequestHandler::HttpRequestHandler(std::string webRoot, std::string publicPath, Peer* peer,
                                       InputStream* input, OutputStream* output)
    : peer_(peer), input_(input), output_(output), webRoot_(std::move(webRoot)),
      publicPath_(std::move(publicPath)), lastRequest_("(요청 없음)") {}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::handle(HttpRequestHandler& handler, const Request&, Response& response) {
    response.status = 404;
    response.reason = "Not Found";
    response.setBody(std::string("Not Found"));
    response.headers["Content-Type"] = "text/plain";
    handler.sendResponse(response);
}

bool HttpRequestHandler::readRequest(Request& request) {
    if (limits_.bodyLimitFor) return readHttpRequest(*input_, request, limits_, output_);
    // Endpoints that accept less than the general limit say so through the
    // router, so their oversized bodies are refused before they are read.
    RequestLimits limits = limits_;
    limits.bodyLimitFor = [this](const Request& head) { return defaultBodyLimit(head); };
    return readHttpRequest(*input_, request, limits, output_);
}

BodyLimitRule HttpRequestHandler::defaultBodyLimit(const Request&) const { return BodyLimitRule{}; }

void HttpRequestHandler::refuseAndClose(int status, const std::string& code, const std::string& text) {
    closeAfterReply_ = true;
    if (code.empty()) {
        sendPlain(status, text);
    } else {
        Response response;
        sendJsonError(*this, response, status, code, text);
    }
    // The client may still be sending the request it was refused for.
    if (peer_) peer_->closeGracefully(kRefusalDrainMs, kRefusalDrainBytes);
}

void HttpRequestHandler::sendPlain(int status, const std::string& text) {
    Response response;
    response.status = status;
    response.reason = reasonPhrase(status);
    response.setBody(text);
    response.headers["Content-Type"] = "text/plain";
    sendResponse(response);
}

void HttpRequestHandler::ioProcessingHandler() {
    while (serveNextRequest()) {
    }
}

bool HttpRequestHandler::serveNextRequest() {
    {
        Request request;
        Response response;
        const LargeBufferRelease release(request, response);
        responseSent_ = false;
        closeAfterReply_ = false;
        lastRequest_ += kWaiting;

        try {
            // Until the first byte of a request arrives the connection is
            // idle: the first to be closed when the server is full.
            if (peer_) peer_->setIdle(true);
            input_->waitForData();
            if (peer_) peer_->setIdle(false);
            if (!readRequest(request)) return false;
        } catch (const HttpBadRequestException& e) {
            refuseAndClose(400, std::string(), e.what());
            return false;
        } catch (const HttpRequestRejectedException& e) {
            // The rest of the request was never read, so the connection
            // cannot carry another one.
            refuseAndClose(e.status(), e.code(), e.what());
            return false;
        }

        bool keepAlive = true;
        const auto connection = request.headers.find("connection");
        if (connection != request.headers.end() && toLower(connection->second).find("close") != std::string::npos)
            keepAlive = false;
        if (request.version == "HTTP/1.0") keepAlive = false;
        // The reply head tells the client whether the connection stays.
        closeAfterReply_ = !keepAlive;

        lastRequest_ = request.method + " " + request.path;

        int failedStatus = 0;
        std::string failedText;
        try {
            handle(*this, request, response);
        } catch (const IOException&) {
            throw;
        } catch (const HttpBadRequestException& e) {
            failedStatus = 400;
            failedText = e.what();
        } catch (const HttpNotFoundException& e) {
            failedStatus = 404;
            failedText = e.what();
        } catch (const HttpForbiddenException& e) {
            failedStatus = 403;
            failedText = e.what();
        } catch (const std::exception& e) {
            failedStatus = 500;
            failedText = e.what();
        }
        if (failedStatus != 0) {
            // After a started reply the stream may end mid-body: the client
            // can only tell by the connection closing.
            if (responseSent_) closeAfterReply_ = true;
            else sendPlain(failedStatus, failedText);
        }
        return keepAlive && !closeAfterReply_;
    }
}

void HttpRequestHandler::sendResponse(Response& response) {
    std::string head = headText(response);
    if (response.headers.find("Content-Length") == response.headers.end())
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += connectionHeader();
    head += "\r\n";
    // One write for head and body: two would be two packets (the socket
    // sends without delay) and two system calls for every small reply. A
    // large body goes out from where it lies rather than as a copy.
    if (!response.body.empty() && response.body.size() <= kJoinedBodyBytes) {
        head.append(reinterpret_cast<const char*>(response.body.data()), response.body.size());
        output_->write(head.data(), static_cast<int>(head.size()));
    } else {
        output_->write(head.data(), static_cast<int>(head.size()));
        if (!response.body.empty()) writeBody(response.body.data(), response.body.size());
    }
    output_->flush();
    responseSent_ = true;
}

void HttpRequestHandler::beginBody(Response& response, uint64_t contentLength) {
    response.body.clear();
    response.headers["Content-Length"] = std::to_string(contentLength);
    std::string head = headText(response);
    head += connectionHeader();
    head += "\r\n";
    output_->write(head.data(), static_cast<int>(head.size()));
    output_->flush();
    responseSent_ = true;
}

void HttpRequestHandler::writeBody(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const int piece = static_cast<int>(std::min<size_t>(size, 1 << 30));
        output_->write(bytes, piece);
        bytes += piece;
        size -= static_cast<size_t>(piece);
    }
    output_->flush();
}

void HttpRequestHandler::beginChunked(Response& response) {
    std::string head = headText(response);
    head += "Transfer-Encoding: chunked\r\n";
    head += connectionHeader();
    head += "\r\n";
    output_->write(head.data(), static_cast<int>(head.size()));
    output_->flush();
    responseSent_ = true;
}

void HttpRequestHandler::writeChunk(const void* data, size_t size) {
    if (size == 0) return;
    char sizeLine[32];
    const int n = std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", size);
    // One write per chunk: the socket sends without delay, so three writes
    // would be three packets (and three wake-ups of the reader) per event.
    std::string chunk;
    chunk.reserve(static_cast<size_t>(n) + size + 2);
    chunk.append(sizeLine, static_cast<size_t>(n));
    chunk.append(static_cast<const char*>(data), size);
    chunk.append("\r\n", 2);
    output_->write(chunk.data(), static_cast<int>(chunk.size()));
    output_->flush();
}

void HttpRequestHandler::writeChunk(const std::string& data) { writeChunk(data.data(), data.size()); }

void HttpRequestHandler::endChunked() {
    output_->write("0\r\n\r\n", 5);
    output_->flush();
}

void HttpRequestHandler::setAttribute(const std::string& name, std::any value) {
    attributes_[name] = std::move(value);
}

void sendJsonError(HttpRequestHandler& handler, Response& response, int status, const std::string& code,
                   const std::string& message) {
    response.status = status;
    response.reason = reasonPhrase(status);
    response.setBody(makeErrorJson(code, message, status));
    response.headers["Content-Type"] = "application/json";
    handler.sendResponse(response);
}
