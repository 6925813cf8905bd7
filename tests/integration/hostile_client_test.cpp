// A hostile run against the real brisvanesrv: requests and files that once
// killed, emptied or pinned the server, replayed one after another. After
// each the server must still answer, and nothing it acknowledged may be gone.
// Waits are generous (a loaded machine) and nothing is timed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "instance_home.h"
#include "support/http_client.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

// The server still serves a plain request.
void expectAnswers(const InstanceHome& home, const std::string& after) {
    const HttpReply reply = home.get("/v1/mivrels");
    EXPECT_EQ(reply.status, 200) << "after " << after << ": " << reply.body;
}

// A request on a new connection whose reply may take long (a model load on a
// busy machine).
HttpReply slowPost(uint16_t port, const std::string& target, const std::string& body) {
    HttpReply reply;
    HttpConnection connection;
    if (!connection.connect(port)) return reply;
    if (!connection.send(buildRequest("POST", target, {{"Content-Type", "application/json"}}, body))) return reply;
    if (!connection.readReply(&reply, 300000)) return HttpReply();
    return reply;
}

std::string chatBody(const std::string& text, bool stream = false) {
    json options = {{"stream", stream}};
    if (!stream) options["max_tokens"] = 4;
    return json({{"conversationId", "c1"},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 {"options", options}})
        .dump();
}

// Crash replays: JSON nested far beyond any real request, to every kind of
// endpoint that parses a body, and a model file with two equal token texts
// (the library's vocabulary loader aborts the process on it).
TEST(HostileClient, NestedJsonAndAModelWithDuplicateTokenTexts) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("chat", "tiny");
    home.addModel("dup", "dup.gguf", "", {{"assembler", "qwen3"}});
    home.addInstance("broken", "dup");
    // Byte tokens are stored in id order as 8-byte lengths and their text:
    // "a" followed by "b". Turning "b" into "a" is the one flipped byte.
    std::string model = readBytes(testModelPath(testmodels::kTinyChatFile));
    const std::string one("\x01\0\0\0\0\0\0\0", 8);
    const size_t at = model.find(one + "a" + one + "b");
    ASSERT_NE(at, std::string::npos);
    model[at + 2 * one.size() + 1] = 'a';
    writeBytes(home.dir().file("models/dup/dup.gguf"), model);
    ASSERT_TRUE(home.start());

    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = "{\"a\":" + std::string(50000, '[') + std::string(50000, ']') + "}";
    const std::string deepMessages = "{\"conversationId\":\"c\",\"messages\":[{\"role\":\"user\",\"content\":" +
                                     std::string(90000, '[') + std::string(90000, ']') + "}]}";
    const std::pair<std::string, std::string> cases[] = {
        {"/v1/mivrel/chat/messages", deepMessages},
        {"/v1/mivrel/chat/messages", deep},
        {"/v1/mivrel/chat/choice", deepObject},
        {"/v1/mivrel/chat/systemone", deepObject},
        {"/v1/mivrel/chat/tokenize", deep},
        {"/v1/mivrel/chat/rawPromptStream", deepObject},
        {"/v1/mivrel", deepObject},
        {"/mgmt-api/mivrels", deepObject},
    };
    for (const auto& [target, body] : cases) {
        const HttpReply reply = home.post(target, body);
        EXPECT_GE(reply.status, 400) << target;
        EXPECT_LT(reply.status, 500) << target << ": " << reply.body;
        expectAnswers(home, "nested JSON to " + target);
    }

    const HttpReply refused = slowPost(home.port(), "/v1/mivrel/broken/messages", chatBody("hi"));
    EXPECT_NE(refused.status, 0) << "no reply: the process died loading the model";
    EXPECT_NE(refused.status, 200) << refused.body;
    expectAnswers(home, "loading a model with duplicate token texts");
    const HttpReply good = slowPost(home.port(), "/v1/mivrel/chat/messages", chatBody("hi"));
    EXPECT_EQ(good.status, 200) << good.body;
}

// The slot in force of a plain container: offset and length of its index
// record, from the two 32-byte slots at 128 and 160 (generation, offset,
// length little-endian; the newer generation is in force).
std::pair<uint64_t, uint64_t> newestIndexRecord(const std::string& container) {
    auto u64 = [&](size_t at) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(container[at + i]);
        return v;
    };
    const size_t slot = u64(128) >= u64(160) ? 128 : 160;
    return {u64(slot + 8), u64(slot + 16)};
}

std::vector<std::string> storedNames(const InstanceHome& home, const std::string& id, int* status) {
    const HttpReply reply = home.get("/v1/mivrel/" + id + "/files");
    *status = reply.status;
    std::vector<std::string> names;
    for (const json& file : bodyJson(reply).value("files", json::array())) names.push_back(file.value("name", ""));
    return names;
}

// Data-loss replays. A plain store whose newest index record was zero-filled
// must not come back empty (and then be overwritten by the next upload): the
// store refuses until the record is whole again, and then every file is
// there. A runtime state file without APP_ID keeps its identity keys, and a
// value that does not convert does not stop the rest from loading.
TEST(HostileClient, DamagedIndexAndRuntimeStateWithoutAppId) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("store", "tiny");
    home.setRuntimeProperties(
        "BRISVANE_ID=dev-123\nBRISVANE_API_KEY=key-456\nBRISVANE_TOKEN=tok-789\nEXPIRES_DAYS=abc\n"
        "BRISVANE_EXPORT=true\n");
    ASSERT_TRUE(home.start());
    expectAnswers(home, "a runtime state file without APP_ID");  // 503 if the service had been turned off

    std::vector<std::string> uploaded;
    for (const char* text : {"first file", "second file", "third file"}) {
        const HttpReply reply =
            httpRequest(home.port(), "POST", "/v1/mivrel/store/files", {{"Content-Type", "text/plain"}}, text);
        ASSERT_EQ(reply.status, 200) << reply.body;
        uploaded.push_back(bodyJson(reply).value("file", "").substr(6));  // after "files/"
    }
    ASSERT_EQ(home.process().stop(), 0);

    const std::string state = readTextFile(home.dir().file("work/.runtime.properties"));
    for (const char* kept : {"BRISVANE_ID=dev-123", "BRISVANE_API_KEY=key-456", "BRISVANE_TOKEN=tok-789",
                             "BRISVANE_EXPORT=true"}) {
        EXPECT_NE(state.find(kept), std::string::npos) << kept << " missing from:\n" << state;
    }
    // The new identity is written in the file's aligned "KEY   = value" form.
    EXPECT_NE(state.find("\nAPP_ID "), std::string::npos) << "APP_ID missing from:\n" << state;

    const std::string path = home.dir().file("mivrel/store/storage.kvx");
    const std::string whole = readBytes(path);
    const auto [offset, length] = newestIndexRecord(whole);
    ASSERT_GE(offset, 4096u);
    ASSERT_LE(offset + length, whole.size());
    std::string zeroed = whole;
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(offset),
              zeroed.begin() + static_cast<std::ptrdiff_t>(offset + length), '\0');
    writeBytes(path, zeroed);

    ASSERT_TRUE(home.start());
    int status = 0;
    const std::vector<std::string> seen = storedNames(home, "store", &status);
    EXPECT_FALSE(status == 200 && seen.empty()) << "a damaged index read as an empty store";
    const HttpReply upload =
        httpRequest(home.port(), "POST", "/v1/mivrel/store/files", {{"Content-Type", "text/plain"}}, "late");
    EXPECT_NE(upload.status, 200) << "an upload over a damaged index: " << upload.body;
    expectAnswers(home, "a zero-filled index record");
    ASSERT_EQ(home.process().stop(), 0);

    // The record repaired (as a restore from a backup would): nothing is lost.
    std::string repaired = readBytes(path);
    ASSERT_GE(repaired.size(), whole.size());
    std::copy(whole.begin() + static_cast<std::ptrdiff_t>(offset),
              whole.begin() + static_cast<std::ptrdiff_t>(offset + length),
              repaired.begin() + static_cast<std::ptrdiff_t>(offset));
    writeBytes(path, repaired);
    ASSERT_TRUE(home.start());
    const std::vector<std::string> after = storedNames(home, "store", &status);
    EXPECT_EQ(status, 200);
    for (const std::string& name : uploaded) {
        EXPECT_NE(std::find(after.begin(), after.end(), name), after.end()) << name << " is gone";
    }
    EXPECT_EQ(home.get("/v1/mivrel/store/files/" + uploaded.back()).body, "third file");
}

// A connected socket whose receive buffer is as small as the system allows,
// so the server's writes to it block after a few kilobytes.
int connectWithTinyReceiveBuffer(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int size = 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Polls `check` every 200 ms until it holds or `seconds` pass.
template <typename Check>
bool eventually(int seconds, Check&& check) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!check()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

// Stall replays. Clients that start an endless stream and never read must
// not pin their instance: /stop and /unload free it while the writer is
// blocked. Slow clients that hold more connections than the server takes,
// each with a request head that never ends, must not keep normal clients out
// for longer than the head deadline.
TEST(HostileClient, StreamsNobodyReadsAndSlowHeads) {
    InstanceHome home;
    // Raw prompts ending in "~\n" start the flood model's endless reply of
    // 1500-byte tokens; so does a chat whose message says so through the raw
    // renderer of "buffered_tag". The context and the token limit let that
    // run to tens of megabytes of events, far more than the socket buffers of
    // both ends hold.
    home.addModel("flood", "flood.gguf", testmodels::kFloodChatFile, {{"assembler", "qwen3"}});
    home.addModel("tagged", "flood.gguf", testmodels::kFloodChatFile, {{"assembler", "buffered_tag"}});
    const json endless = {{"n_ctx", 40000}, {"n_predict", 40000}};
    home.addInstance("raw", "flood", endless);
    home.addInstance("chat", "tagged", endless);
    ASSERT_TRUE(home.start());
    auto state = [&](const std::string& id) {
        return bodyJson(home.get("/v1/mivrel/" + id + "/status")).value("status", "");
    };

    const std::pair<std::string, std::string> streams[] = {
        {"/v1/mivrel/raw/rawPromptStream", R"({"rawPrompt": "tick~\n"})"},
        {"/v1/mivrel/chat/messages", chatBody("tick~", true)},
    };
    for (const char* freeing : {"stop", "unload"}) {
        for (const auto& [target, body] : streams) {
            SCOPED_TRACE(std::string(freeing) + " " + target);
            const std::string id = target.substr(11, target.find('/', 11) - 11);
            const int fd = connectWithTinyReceiveBuffer(home.port());
            ASSERT_GE(fd, 0);
            const std::string request = buildRequest("POST", target, {{"Content-Type", "application/json"}}, body);
            ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
            // The instance is busy once loaded; it stays busy, the writer
            // blocked on the full buffers, until something frees it.
            ASSERT_TRUE(eventually(120, [&] { return state(id) == "busy"; })) << "the stream never started";
            std::this_thread::sleep_for(std::chrono::seconds(2));
            ASSERT_EQ(state(id), "busy") << "the stream ended by itself, so nothing was left to free";
            const HttpReply freed = home.post("/v1/mivrel/" + id + "/" + freeing, "{}");
            EXPECT_EQ(freed.status, 200) << freed.body;
            EXPECT_TRUE(eventually(30, [&] { return state(id) == "idle"; }))
                << "still " << state(id) << " while its client never reads";
            const HttpReply after = slowPost(home.port(), "/v1/mivrel/" + id + "/tokenize",
                                             R"({"text": "a", "options": {"autoLoad": true}})");
            EXPECT_EQ(after.status, 200) << after.body;
            ::close(fd);
        }
    }

    // More slow connections than the server's cap (256), each one byte into
    // its request head.
    std::vector<std::unique_ptr<HttpConnection>> slow;
    for (int i = 0; i < 300; ++i) {
        auto connection = std::make_unique<HttpConnection>();
        if (!connection->connect(home.port())) break;
        connection->send("G");
        slow.push_back(std::move(connection));
    }
    EXPECT_EQ(slow.size(), 300u);
    EXPECT_TRUE(eventually(60, [&] { return home.get("/v1/mivrels").status == 200; }))
        << "normal clients kept out by slow request heads";
    size_t closed = 0;
    for (auto& connection : slow) closed += connection->waitClosed(30000) ? 1 : 0;
    EXPECT_EQ(closed, slow.size()) << "slow heads were left open past the deadline";
    expectAnswers(home, "slow request heads");
}

}  // namespace
