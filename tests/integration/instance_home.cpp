#include "instance_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_paths.h"

namespace fs = std::filesystem;

InstanceHome::InstanceHome() : port_(freeLoopbackPort()) {
    writeServerConf(home_.path(), testServerConf(port_, "LOCAL_V1_ACCESS=true\n"));
    fs::create_directories(home_.file("models"));
    fs::create_directories(home_.file("mivrel"));
    // The inference service is on, as after "brisvane up".
    fs::create_directories(home_.file("work"));
    writeTextFile(home_.file("work/.runtime.properties"), "APP_ID=instance-test\nBRISVANE_EXPORT=true\n");
}

InstanceHome::~InstanceHome() {
    if (process_.running()) {
        EXPECT_EQ(process_.stop(), 0) << process_.stderrText();
    }
}

void InstanceHome::addModel(const std::string& modelId, const std::string& fileName, const std::string& kitFile,
                            const nlohmann::json& properties) {
    fs::create_directories(home_.file("models/" + modelId));
    if (!kitFile.empty()) linkModelFile(modelId, fileName, kitFile);
    writeTextFile(home_.file("models/" + modelId + "/properties.json"), properties.dump(2));
    models_.push_back({{"modelId", modelId},
                       {"name", "Model " + modelId},
                       {"filename", fileName},
                       {"downloadedAt", "2026-01-01T00:00:00.000Z"}});
    writeRegistries();
}

void InstanceHome::linkModelFile(const std::string& modelId, const std::string& fileName,
                                 const std::string& kitFile) {
    fs::create_symlink(testModelPath(kitFile), home_.file("models/" + modelId + "/" + fileName));
}

void InstanceHome::addInstance(const std::string& id, const std::string& modelId, const nlohmann::json& extra) {
    nlohmann::json properties = {{"mivrelId", id}, {"name", "Name of " + id}, {"description", "About " + id},
                                 {"type", "local"}, {"modelId", modelId},     {"n_ctx", 512},
                                 // Two threads suffice for the kit's models and keep parallel test
                                 // servers from starving each other on a busy machine.
                                 {"n_threads", 2}};
    properties.update(extra);
    fs::create_directories(home_.file("mivrel/" + id));
    writeTextFile(home_.file("mivrel/" + id + "/properties.json"), properties.dump(2));
    instances_.push_back({{"mivrelId", id}});
    writeRegistries();
}

void InstanceHome::writeRegistries() const {
    writeTextFile(home_.file("models/models.json"), nlohmann::json({{"models", models_}}).dump(2));
    writeTextFile(home_.file("mivrel/mivrel.json"), nlohmann::json({{"mivrelList", instances_}}).dump(2));
}

void InstanceHome::setRuntimeProperties(const std::string& text) {
    writeTextFile(home_.file("work/.runtime.properties"), text);
}

bool InstanceHome::start(const std::map<std::string, std::string>& extraEnv, const std::vector<std::string>& args) {
    // The server of a thread-sanitizer build reads the same suppressions as
    // the test programs (ggml's own graph workers); other builds ignore them.
    std::map<std::string, std::string> env = {
        {"TSAN_OPTIONS", "suppressions=" + sourceDir() + "/tests/sanitizers/tsan.supp"}};
    for (const auto& [name, value] : extraEnv) env[name] = value;
    if (!process_.start(args, home_.path(), env, program_) || !process_.waitListening(port_)) {
        ADD_FAILURE() << "server did not start: " << process_.stderrText();
        return false;
    }
    return true;
}

std::string InstanceHome::serverLog() const { return readTextFile(home_.file("logs/brisvane.log")); }

bool InstanceHome::becomesIdle(const std::string& id) const {
    for (int i = 0; i < 400; ++i) {
        if (bodyJson(get("/v1/mivrel/" + id + "/status"))["status"] == "idle") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

HttpReply InstanceHome::get(const std::string& target) const { return httpRequest(port_, "GET", target); }

HttpReply InstanceHome::post(const std::string& target, const std::string& body) const {
    return httpRequest(port_, "POST", target, {{"Content-Type", "application/json"}}, body);
}

HttpReply InstanceHome::request(const std::string& method, const std::string& target,
                                const std::string& body) const {
    return httpRequest(port_, method, target, {{"Content-Type", "application/json"}}, body);
}

nlohmann::json bodyJson(const HttpReply& reply) { return nlohmann::json::parse(reply.body, nullptr, false); }

bool keysInOrder(const std::string& text, const std::vector<std::string>& keys) {
    size_t from = 0;
    for (const std::string& key : keys) {
        const size_t at = text.find("\"" + key + "\":", from);
        if (at == std::string::npos) return false;
        from = at + 1;
    }
    return true;
}
