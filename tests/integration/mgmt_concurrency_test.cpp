// Many clients drive the same few instances of the real brisvanesrv at once:
// chats (whole, streamed, and streamed then dropped) beside start, stop,
// unload, reload, reset, storage reset, delete and re-creation. Every reply
// must be one the endpoint may give, no instance may be left claimed, the
// registry, folders and manager must agree afterwards, and the server must
// still serve and exit cleanly (the sanitizer builds fail on any report).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;

constexpr int kClients = 50;
constexpr int kRequestsPerClient = 4;
const std::vector<std::string> kIds = {"c0", "c1", "c2"};

// One request on its own connection, with room for a loaded machine (an
// unload may wait 5 s for a generation to stop).
HttpReply send(uint16_t port, const std::string& method, const std::string& target, const std::string& body) {
    return httpRequest(port, method, target, {{"Content-Type", "application/json"}}, body, 120000);
}

std::string chatBody(bool stream) {
    static std::atomic<int> conversations{0};
    // The scripted model repeats "tick~" until the token limit.
    return json({{"conversationId", "load-" + std::to_string(conversations.fetch_add(1))},
                 {"messages", json::array({{{"role", "user"}, {"content", "tick~"}}})},
                 {"options", {{"stream", stream}, {"max_tokens", 24}}}})
        .dump();
}

struct Outcome {
    std::string what;
    int status;
};

class Clients {
public:
    explicit Clients(uint16_t port) : port_(port) {}

    void run(int client) {
        std::mt19937 random(static_cast<unsigned>(client) * 7919u + 1u);
        for (int i = 0; i < kRequestsPerClient; ++i) {
            const std::string id = kIds[random() % kIds.size()];
            one(id, static_cast<int>(random() % 12));
        }
    }

    // Replies that no endpoint of the kind may give.
    std::vector<Outcome> unexpected() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return unexpected_;
    }

private:
    void one(const std::string& id, int kind) {
        const std::string base = "/mgmt-api/mivrel/" + id + "/";
        switch (kind) {
            case 0:
            case 1: return expect("chat " + id, send(port_, "POST", "/v1/mivrel/" + id + "/messages", chatBody(false)),
                                  {200, 404, 409});
            case 2: return streamedChat(id, false);
            case 3: return streamedChat(id, true);
            case 4: return expect("start " + id, send(port_, "POST", base + "start", ""), {200, 404});
            case 5: return expect("stop " + id, send(port_, "POST", base + "stop", ""), {200, 404, 409});
            case 6: return expect("unload " + id, send(port_, "POST", base + "unload", ""), {200, 404, 409});
            case 7: return expect("reload " + id, send(port_, "POST", base + "reload", ""), {200, 404, 409});
            case 8: return expect("reset " + id, send(port_, "POST", base + "reset", ""), {200, 404, 409});
            case 9: return expect("storage reset " + id, send(port_, "POST", base + "storage/reset", ""), {200, 404, 409});
            case 10: return expect("delete " + id, send(port_, "POST", base + "delete", ""), {200, 409});
            default: {
                const std::string body =
                    json({{"mivrelId", id}, {"modelId", "tagged"}, {"name", "Again " + id}, {"n_ctx", 512}}).dump();
                return expect("create " + id, send(port_, "POST", "/mgmt-api/mivrelCreate", body), {200, 409});
            }
        }
    }

    // A streamed chat read to its end, or dropped after its head.
    void streamedChat(const std::string& id, bool drop) {
        OpenStream stream;
        if (!stream.open(port_, "/v1/mivrel/" + id + "/messages", chatBody(true)) || !stream.readUntil("\r\n\r\n")) {
            return record("streamed chat " + id + ": no reply", 0);
        }
        const int status = std::stoi(stream.received().substr(9, 3));
        if (status != 200) {
            HttpReply head;
            head.status = status;
            head.body = stream.received();
            return expect("streamed chat " + id, head, {404, 409});
        }
        if (drop) return stream.reset();
        if (!stream.readUntil("\r\n0\r\n\r\n")) record("streamed chat " + id + ": unfinished", status);
    }

    void expect(const std::string& what, const HttpReply& reply, std::initializer_list<int> allowed) {
        if (std::find(allowed.begin(), allowed.end(), reply.status) == allowed.end()) {
            record(what + ": " + reply.body, reply.status);
        }
    }

    void record(const std::string& what, int status) {
        std::lock_guard<std::mutex> lock(mutex_);
        unexpected_.push_back({what, status});
    }

    uint16_t port_;
    mutable std::mutex mutex_;
    std::vector<Outcome> unexpected_;
};

// Statuses of the listed instances that show a claim: running, stopping or
// loading.
std::vector<std::string> claimedInstances(const InstanceHome& home) {
    std::vector<std::string> claimed;
    const json list = bodyJson(home.get("/mgmt-api/mivrelList"));
    for (const json& entry : list["mivrelList"]) {
        const std::string status = entry["status"];
        if (status != "idle" && status != "not_loaded") claimed.push_back(entry["mivrelId"].get<std::string>() + " " + status);
    }
    const json status = bodyJson(home.get("/mgmt-api/cli/status"));
    for (const json& item : status["inference"]["mivrels"]) {
        const std::string state = item["status"];
        if (state != "idle" && state != "not loaded") claimed.push_back(item["id"].get<std::string>() + " " + state);
    }
    return claimed;
}

TEST(MgmtConcurrency, ParallelLifecycleRequestsAgainstChatsLeaveEveryInstanceSound) {
    InstanceHome home;
    home.addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}});
    for (const std::string& id : kIds) home.addInstance(id, "tagged");
    ASSERT_TRUE(home.start());
    for (const std::string& id : kIds) ASSERT_EQ(home.post("/mgmt-api/mivrel/" + id + "/start", "").status, 200);

    Clients clients(home.port());
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) threads.emplace_back([&clients, c] { clients.run(c); });
    for (std::thread& t : threads) t.join();
    for (const Outcome& o : clients.unexpected()) ADD_FAILURE() << o.status << " " << o.what;

    // A dropped stream ends on the server a little after its client left.
    std::vector<std::string> claimed = claimedInstances(home);
    for (int i = 0; i < 300 && !claimed.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        claimed = claimedInstances(home);
    }
    EXPECT_TRUE(claimed.empty()) << ::testing::PrintToString(claimed);

    // The registry, the folders and the manager agree.
    std::set<std::string> listed;
    const json list = bodyJson(home.get("/mgmt-api/mivrelList"));
    for (const json& entry : list["mivrelList"]) {
        const std::string id = entry["mivrelId"];
        listed.insert(id);
        EXPECT_EQ(entry["properties"]["modelId"], "tagged") << id << " is listed without its settings";
    }
    std::set<std::string> folders;
    for (const auto& item : std::filesystem::directory_iterator(home.dir().file("mivrel"))) {
        if (item.is_directory()) folders.insert(item.path().filename().string());
    }
    EXPECT_EQ(folders, listed);
    std::set<std::string> registered;
    const json status = bodyJson(home.get("/mgmt-api/cli/status"));
    for (const json& item : status["inference"]["mivrels"]) {
        registered.insert(item["id"].get<std::string>());
    }
    EXPECT_EQ(registered, listed);

    // The server still serves every instance, re-created where deleted.
    for (const std::string& id : kIds) {
        if (!listed.count(id)) {
            const std::string body = json({{"mivrelId", id}, {"modelId", "tagged"}, {"name", id}}).dump();
            ASSERT_EQ(home.post("/mgmt-api/mivrelCreate", body).status, 200) << id;
        }
        // The last chat's conversation holds the instance until it is let go.
        ASSERT_EQ(home.post("/mgmt-api/mivrel/" + id + "/unload", "").status, 200) << id;
        const HttpReply chat = send(home.port(), "POST", "/v1/mivrel/" + id + "/messages", chatBody(false));
        EXPECT_EQ(chat.status, 200) << id << ": " << chat.body;
    }
}

}  // namespace
