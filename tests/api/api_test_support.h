// Shared pieces of the inference API tests: a reply captured from a handler
// without a socket, and an instance whose store lives in a temporary folder
// with files of chosen names.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/mivrel.h"
#include "net/fake_peer.h"
#include "net/http_request_handler.h"
#include "support/temp_dir.h"

// A handler whose replies are collected in `out.written`.
struct CapturedReply {
    FakeOutput out;
    HttpRequestHandler handler{"", "", nullptr, nullptr, &out};
    Response response;

    bool sent() const { return !out.written.empty(); }
    std::string statusLine() const { return out.written.substr(0, out.written.find("\r\n")); }
    std::string body() const {
        const size_t at = out.written.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : out.written.substr(at + 4);
    }
    nlohmann::json json() const { return nlohmann::json::parse(body()); }
};

// An instance "m1" with its store at <temp>/m1/storage.kvx.
class StoreFixture {
public:
    explicit StoreFixture(bool encrypted = false, const std::string& id = "m1") {
        mivrel.config.id = id;
        mivrel.config.type = "local";
        mivrel.fileStore.configure(dir.file(id + "/storage.kvx"), encrypted);
    }

    // Stores `content` under exactly `name` (creating the store, encrypted
    // under `token` when configured so).
    void put(const std::string& name, const std::string& content, const std::string& token = "") {
        StorageKey key = mivrel.fileStore.open(token, true);
        mivrel.fileStore.containerForTesting().write(name, content, "", 0, key);
    }

    TempDir dir;
    Mivrel mivrel;
};
