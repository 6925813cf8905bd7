// A temporary home for integration tests of the instance endpoints: the
// kit's models registered as downloaded models, instances listed in
// mivrel.json, and a brisvanesrv on it with /v1 open to local clients.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

class InstanceHome {
public:
    InstanceHome();
    // Stops the server; a clean exit (0) is expected, so a sanitizer build of
    // the server that saw a fault fails the test.
    ~InstanceHome();
    InstanceHome(const InstanceHome&) = delete;
    InstanceHome& operator=(const InstanceHome&) = delete;

    // Registers model `modelId` as downloaded, with `fileName` in its folder
    // (a link to the kit's file `kitFile`, or no file at all when empty) and
    // `properties` as its properties.json.
    void addModel(const std::string& modelId, const std::string& fileName, const std::string& kitFile,
                  const nlohmann::json& properties = nlohmann::json::object());
    // Links one more kit file into the folder of `modelId`.
    void linkModelFile(const std::string& modelId, const std::string& fileName, const std::string& kitFile);
    // Lists instance `id` on model `modelId` with `extra` merged into its
    // properties.json (name "Name of <id>", n_ctx 512 unless given).
    void addInstance(const std::string& id, const std::string& modelId,
                     const nlohmann::json& extra = nlohmann::json::object());

    // Replaces work/.runtime.properties (written before each start).
    void setRuntimeProperties(const std::string& text);

    // Runs `program` instead of the built brisvanesrv at the next start (a
    // copy elsewhere, to control what lies beside it).
    void useProgram(const std::string& program) { program_ = program; }

    // Starts brisvanesrv with `env` added to its environment and `args` on
    // its command line; false (with the reason added to the test) when it
    // does not listen.
    bool start(const std::map<std::string, std::string>& env = {}, const std::vector<std::string>& args = {});
    // The running server, for tests that end it themselves.
    ServerProcess& process() { return process_; }

    uint16_t port() const { return port_; }
    const TempDir& dir() const { return home_; }
    std::string serverLog() const;
    // Waits (about 10 s at most) until GET .../status reports instance `id`
    // idle; false when it stays busy.
    bool becomesIdle(const std::string& id) const;

    // One request on a new connection; a JSON body given as text.
    HttpReply get(const std::string& target) const;
    HttpReply post(const std::string& target, const std::string& body) const;
    // Any method with a JSON body given as text.
    HttpReply request(const std::string& method, const std::string& target, const std::string& body) const;

private:
    void writeRegistries() const;

    TempDir home_;
    uint16_t port_;
    ServerProcess process_;
    nlohmann::json models_ = nlohmann::json::array();
    nlohmann::json instances_ = nlohmann::json::array();
    std::string program_;
};

// The body parsed as JSON (sorted), or a JSON "discarded" value when it does
// not parse.
nlohmann::json bodyJson(const HttpReply& reply);

// Offsets of `keys` in `text`, in order; true when each key occurs (as
// "\"key\":") and every one after the one before.
bool keysInOrder(const std::string& text, const std::vector<std::string>& keys);
