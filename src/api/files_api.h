// The instance files API: upload, list, download (whole or by byte range) and
// delete the files of an instance's store, encrypted stores under the
// client's Bearer key included. Also the one mapping from file-store failures
// to error replies, which the generation endpoints share.
//
// Every function runs on the request's connection thread. No instance lock is
// taken: the store serialises its own operations, and every reply is written
// after the store operation has returned.
#pragma once

#include <cstdint>
#include <string>

#include "net/http_request_handler.h"
#include "storage/file_store_exception.h"

struct ServiceContext;

// The largest upload, in bytes (50 MiB).
inline constexpr uint64_t kMaxUploadBytes = 52428800;

// Serves /v1/mivrel/{id}/files (`name` empty) and .../files/{name} for any
// method and always answers the request itself: upload (POST, no name), list
// (GET, no name), download (GET or POST with a name; Range honoured for GET)
// and delete (DELETE with a name); any other combination is 400. Store
// failures are answered by sendFileStoreError; other exceptions (I/O of the
// reply) pass to the caller.
void handleFiles(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                 Response& response, const std::string& method, const std::string& id, const std::string& name);

// The first range of a Range header against a file of `size` bytes: 1 with
// inclusive `start` and `end` set when it is satisfiable, 0 when the header
// is to be ignored (malformed, or last before first), -1 when it cannot be
// satisfied. Numbers of more than 18 digits are ignored, so nothing
// overflows. Pure.
int parseRangeHeader(const std::string& value, uint64_t size, uint64_t& start, uint64_t& end);

// Answers a file-store failure: kind 0 400 "bad_request", 1 404
// "file_not_found" (both with the exception's message), 3 401
// "storage_key_required", 4 403 "storage_key_mismatch", 5 409
// "storage_not_encrypted" (an instance that requires encryption whose store
// holds plain data: no key helps, emptying the store does), anything else
// 500 "internal_error" after a level-1 log line.
void sendFileStoreError(HttpRequestHandler& handler, Response& response, const FileStoreException& error);

// kMaxUploadBytes for a POST to a files collection, refused with the upload's
// own reply (400 "bad_request" "file too large (max 50MB)"); no limit of its
// own (the general one) for every other request. Installed as the router's
// body limit, so an oversized upload is refused before its body is read.
BodyLimitRule filesBodyLimit(const Request& head);
