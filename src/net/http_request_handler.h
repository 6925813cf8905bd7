// The per-connection HTTP object: it holds what one connection's requests
// share, reads requests one after another (persistent connections), and
// writes every reply. Handlers of the inference and management APIs receive
// it as their first argument and answer through sendResponse or the chunked
// writers.
//
// One object per connection, used only by that connection's thread.
#pragma once

#include <any>
#include <map>
#include <memory>
#include <string>

#include "net/http_request.h"
#include "net/http_response.h"

class Peer;
class InputStream;
class OutputStream;

class HttpRequestHandler {
public:
    HttpRequestHandler(std::string webRoot, std::string publicPath, Peer* peer, InputStream* input,
                       OutputStream* output);
    // Releases the attributes; neither closes nor frees the peer or its streams.
    virtual ~HttpRequestHandler();
    HttpRequestHandler(const HttpRequestHandler&) = delete;
    HttpRequestHandler& operator=(const HttpRequestHandler&) = delete;

    // Serves one request. The base answers 404 "Not Found" as plain text.
    // `handler` is this object itself.
    virtual void handle(HttpRequestHandler& handler, const Request& request, Response& response);

    // Reads and serves requests until the connection ends: after a request
    // that does not ask for keep-alive, a refused or malformed request, an
    // error after a reply was started, or the end of the stream. Lets
    // IOException pass.
    void ioProcessingHandler();

    // Reads and serves one request: the loop above, once. Returns whether
    // the connection carries another request. Lets IOException pass.
    bool serveNextRequest();

    // Reads one request with this connection's limits; see readHttpRequest.
    bool readRequest(Request& request);

    // Writes the whole response (head and body in one write unless the body
    // is large) and marks the reply sent.
    // Adds "Content-Length" when the map has none, and "Connection: close"
    // when the connection ends after this reply ("Connection: keep-alive"
    // otherwise). Throws IOException when the peer is gone.
    void sendResponse(Response& response);

    // Writes the head of a whole response with "Content-Length" set to
    // `contentLength` and marks the reply sent; the caller then writes exactly
    // that many bytes with writeBody, in pieces of any size, or ends the
    // connection with closeAfterReply when it cannot.
    void beginBody(Response& response, uint64_t contentLength);
    void writeBody(const void* data, size_t size);

    // Writes the head of a chunked response (its body is not written) and
    // marks the reply sent.
    void beginChunked(Response& response);
    // One chunk: hex size, CRLF, data, CRLF. Nothing at all for size 0.
    void writeChunk(const void* data, size_t size);
    void writeChunk(const std::string& data);
    // The last chunk "0\r\n\r\n".
    void endChunked();

    // Makes the connection close after the current request: for a reply that
    // could not be finished properly (for example an error in the middle of a
    // chunked stream).
    void closeAfterReply() { closeAfterReply_ = true; }

    // Connection attributes, owned by the handler.
    void setAttribute(const std::string& name, std::any value);
    // The attribute's value, or null when missing or of another type.
    template <typename T>
    const T* attribute(const std::string& name) const {
        const auto it = attributes_.find(name);
        return it == attributes_.end() ? nullptr : std::any_cast<T>(&it->second);
    }
    template <typename T>
    T* mutableAttribute(const std::string& name) {
        const auto it = attributes_.find(name);
        return it == attributes_.end() ? nullptr : std::any_cast<T>(&it->second);
    }

    Peer* peer() const { return peer_; }
    InputStream* input() const { return input_; }
    OutputStream* output() const { return output_; }
    const std::string& webRoot() const { return webRoot_; }
    const std::string& publicPath() const { return publicPath_; }
    bool responseSent() const { return responseSent_; }
    const std::string& lastRequest() const { return lastRequest_; }

    void setRequestLimits(const RequestLimits& limits) { limits_ = limits; }

    // How long and how much a refused client may still send after its reply
    // before the connection is closed under it.
    static constexpr int kRefusalDrainMs = 3000;
    static constexpr size_t kRefusalDrainBytes = 72u * 1024 * 1024;

protected:
    // The body limit of a request head when the request limits name none.
    // The base sets none (maxBytes 0: the front end's general limit).
    virtual BodyLimitRule defaultBodyLimit(const Request& head) const;

private:
    // The reply head's Connection line: whether the connection ends after it.
    const char* connectionHeader() const {
        return closeAfterReply_ ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    }
    // A plain-text reply of the connection loop.
    void sendPlain(int status, const std::string& text);
    // Answers a request that was not read to its end (plain text when `code`
    // is empty, else the JSON error) and ends the connection gracefully.
    void refuseAndClose(int status, const std::string& code, const std::string& text);

    Peer* peer_;
    InputStream* input_;
    OutputStream* output_;
    std::string webRoot_;
    std::string publicPath_;
    bool responseSent_ = false;
    bool closeAfterReply_ = false;
    std::map<std::string, std::any> attributes_;
    std::string lastRequest_;
    RequestLimits limits_;
};

// Answers with the inference API's JSON error as a whole response: the status
// with its reason phrase, makeErrorJson(code, message, status) as body,
// "Content-Type: application/json".
void sendJsonError(HttpRequestHandler& handler, Response& response, int status, const std::string& code,
                   const std::string& message);
