// The instance files endpoints of the real brisvanesrv: upload, list, ranged
// download and delete, encrypted stores under the client's Bearer key, the
// upload limit enforced before the body is read, and chat requests that read
// the uploaded files through file references.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "instance_home.h"
#include "support/http_client.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

const char* const kKeyRequired = "This mivrel's storage is encrypted; send the Authorization: Bearer key.";
const char* const kKeyMismatch = "The Bearer key does not match the key this mivrel's storage was encrypted with.";

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

HeaderList withToken(const std::string& token, HeaderList headers = {}) {
    if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
    return headers;
}

class FilesApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_->addInstance("plain", "scripted");
        home_->addInstance("locked", "scripted", {{"enable_storage_encryption", true}});
        home_->addInstance("reader", "scripted");
        home_->addModel("vision", "main.gguf", testmodels::kTinyChatFile,
                        {{"assembler", "qwen3"}, {"files", {{"model", "main.gguf"}, {"mmproj", "proj.gguf"}}}});
        home_->linkModelFile("vision", "proj.gguf", testmodels::kProjectorFile);
        home_->addInstance("eyes", "vision");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static HttpReply request(const std::string& method, const std::string& target, const HeaderList& headers = {},
                             const std::string& body = "") {
        return httpRequest(home_->port(), method, target, headers, body);
    }

    // A chat request: loading a model on a busy machine may take longer than
    // the client's usual wait.
    static HttpReply chat(const std::string& id, const std::string& body, const std::string& token = "") {
        HttpReply reply;
        HttpConnection connection;
        if (!connection.connect(home_->port())) return reply;
        const HeaderList headers = withToken(token, {{"Content-Type", "application/json"}});
        if (!connection.send(buildRequest("POST", "/v1/mivrel/" + id + "/messages", headers, body))) return reply;
        if (!connection.readReply(&reply, 300000)) return HttpReply();
        return reply;
    }

    // Uploads `body` and returns the reference "files/<name>".
    static std::string upload(const std::string& id, const std::string& body, const std::string& type,
                              const std::string& token = "") {
        const HttpReply reply =
            request("POST", "/v1/mivrel/" + id + "/files", withToken(token, {{"Content-Type", type}}), body);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return bodyJson(reply).value("file", "");
    }

    static std::string chatBody(const std::string& conversation, const json& content,
                                const std::string& role = "user") {
        return json({{"conversationId", conversation},
                     {"messages", json::array({{{"role", role}, {"content", content}}})},
                     {"options", {{"mivrel_reset", true}, {"max_tokens", 4}}}})
            .dump();
    }

    static json documentBlock(const std::string& reference) {
        return {{"type", "document"}, {"source", {{"type", "file"}, {"file", reference}}}};
    }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> FilesApi::home_;

TEST_F(FilesApi, UploadListRangesAndDelete) {
    const HttpReply uploaded =
        request("POST", "/v1/mivrel/plain/files", {{"Content-Type", "text/plain; charset=utf-8"}}, "0123456789");
    ASSERT_EQ(uploaded.status, 200) << uploaded.body;
    EXPECT_EQ(uploaded.header("Content-Type"), "application/json");
    EXPECT_TRUE(keysInOrder(uploaded.body, {"mivrelId", "file", "size", "mime"})) << uploaded.body;
    const json document = bodyJson(uploaded);
    EXPECT_EQ(document["mivrelId"], "plain");
    EXPECT_EQ(document["size"], 10);
    EXPECT_EQ(document["mime"], "text/plain");
    const std::string reference = document["file"];
    ASSERT_EQ(reference.rfind("files/upload-", 0), 0u) << reference;
    const std::string name = reference.substr(6);

    const HttpReply listed = request("GET", "/v1/mivrel/plain/files");
    ASSERT_EQ(listed.status, 200) << listed.body;
    const json files = bodyJson(listed)["files"];
    ASSERT_EQ(files.size(), 1u) << listed.body;
    EXPECT_EQ(files[0]["name"], name);
    EXPECT_EQ(files[0]["size"], 10);
    EXPECT_EQ(files[0]["mime"], "text/plain");
    EXPECT_TRUE(files[0]["createdAt"].is_number_integer());

    const std::string target = "/v1/mivrel/plain/files/" + name;
    const HttpReply whole = request("GET", target);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, "0123456789");
    EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");
    EXPECT_EQ(whole.header("Content-Disposition"), "inline; filename=\"" + name + "\"");

    struct Case {
        std::string range;
        int status;
        std::string body, contentRange;
    };
    const Case cases[] = {
        {"bytes=-3", 206, "789", "bytes 7-9/10"},
        {"bytes=10-12", 416, "", "bytes */10"},
        {"bytes=-0", 416, "", "bytes */10"},
        {"bytes=7-3", 200, "0123456789", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        const HttpReply reply = request("GET", target, {{"Range", c.range}});
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.body);
        EXPECT_EQ(reply.header("Content-Range"), c.contentRange);
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(c.body.size()));
    }

    const HttpReply removed = request("DELETE", target);
    ASSERT_EQ(removed.status, 200) << removed.body;
    EXPECT_EQ(bodyJson(removed), json({{"ok", true}, {"mivrelId", "plain"}, {"file", reference}}));
    const HttpReply again = request("DELETE", target);
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(errorCode(again), "file_not_found");
    EXPECT_EQ(errorMessage(again), "File not found: " + name);
    EXPECT_EQ(bodyJson(request("GET", "/v1/mivrel/plain/files"))["files"], json::array());
}

TEST_F(FilesApi, EncryptedInstanceNeedsItsBearerKey) {
    const std::string reference = upload("locked", "secret", "text/markdown", "key-1");
    ASSERT_FALSE(reference.empty());
    const std::string target = "/v1/mivrel/locked/files/" + reference.substr(6);
    for (const std::string& path : {std::string("/v1/mivrel/locked/files"), target}) {
        SCOPED_TRACE(path);
        const HttpReply without = request("GET", path);
        EXPECT_EQ(without.status, 401);
        EXPECT_EQ(errorCode(without), "storage_key_required");
        EXPECT_EQ(errorMessage(without), kKeyRequired);
        const HttpReply wrong = request("GET", path, withToken("key-2"));
        EXPECT_EQ(wrong.status, 403);
        EXPECT_EQ(errorCode(wrong), "storage_key_mismatch");
        EXPECT_EQ(errorMessage(wrong), kKeyMismatch);
    }
    EXPECT_EQ(request("GET", target, withToken("key-1")).body, "secret");
    EXPECT_EQ(request("DELETE", target, withToken("key-2")).status, 403);
    EXPECT_EQ(bodyJson(request("GET", "/v1/mivrel/locked/files", withToken("key-1")))["files"].size(), 1u);
}

TEST_F(FilesApi, OversizedUploadIsRefusedBeforeItsBody) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(home_->port()));
    // Only the head is sent: the refusal must not wait for 50 MiB of body.
    ASSERT_TRUE(connection.send(buildRequest("POST", "/v1/mivrel/plain/files",
                                             {{"Content-Type", "text/plain"}, {"Content-Length", "52428801"}})));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply));
    // The upload's own reply, and the connection says it ends.
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.body, "{\"error\":{\"code\":\"bad_request\",\"httpStatus\":400,\"message\":\"file too large (max "
                          "50MB)\"}}");
    EXPECT_EQ(reply.header("Connection"), "close");
    EXPECT_TRUE(connection.waitClosed());
    EXPECT_EQ(bodyJson(request("GET", "/v1/mivrel/plain/files"))["files"], json::array());
}

TEST_F(FilesApi, UnknownInstanceAndMethod) {
    const HttpReply missing = request("GET", "/v1/mivrel/nobody/files");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(errorCode(missing), "mivrel_not_found");
    const HttpReply put = request("PUT", "/v1/mivrel/plain/files/a.txt", {}, "x");
    EXPECT_EQ(put.status, 400);
    EXPECT_EQ(errorMessage(put), "unsupported method for files API: PUT");
}

TEST_F(FilesApi, ChatReadsUploadedDocuments) {
    const std::string reference = upload("reader", std::string(40, 'z'), "text/plain");
    ASSERT_FALSE(reference.empty());

    const HttpReply plainChat = chat("reader", chatBody("d1", json::array({{{"type", "text"}, {"text", "Hi"}}})));
    ASSERT_EQ(plainChat.status, 200) << plainChat.body;
    const HttpReply withDocument =
        chat("reader", chatBody("d2", json::array({{{"type", "text"}, {"text", "Hi"}}, documentBlock(reference)})));
    ASSERT_EQ(withDocument.status, 200) << withDocument.body;
    // One token per byte of ordinary text: the document made it into the prompt.
    const int without = bodyJson(plainChat)["message"]["usage"]["input_tokens"];
    const int with = bodyJson(withDocument)["message"]["usage"]["input_tokens"];
    EXPECT_GE(with - without, 40) << without << " " << with;

    const HttpReply missing = chat("reader", chatBody("d3", json::array({documentBlock("files/none.txt")})));
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(errorCode(missing), "file_not_found");
    EXPECT_EQ(errorMessage(missing), "file not found: files/none.txt");

    const HttpReply badKind = chat("reader", chatBody("d4", json::array({documentBlock("files/x.png")})));
    EXPECT_EQ(badKind.status, 400);
    EXPECT_EQ(errorMessage(badKind), "document blocks support text files only (txt/md/csv/json): files/x.png "
                                     "(image/png)");
}

TEST_F(FilesApi, ChatOnEncryptedInstanceReadsWithTheRequestsKey) {
    const std::string reference = upload("locked", "notes", "text/plain", "key-1");
    ASSERT_FALSE(reference.empty());
    const std::string body = chatBody("e1", json::array({documentBlock(reference)}));
    const HttpReply without = chat("locked", body);
    EXPECT_EQ(without.status, 401);
    EXPECT_EQ(errorCode(without), "storage_key_required");
    const HttpReply wrong = chat("locked", body, "key-2");
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(errorCode(wrong), "storage_key_mismatch");
    const HttpReply right = chat("locked", body, "key-1");
    EXPECT_EQ(right.status, 200) << right.body;
}

TEST_F(FilesApi, ChatSeesUploadedImagesThroughTheProjector) {
    // A 1x1 RGBA PNG.
    const unsigned char png[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
                                 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
                                 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78,
                                 0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0D, 0x0A, 0x2D, 0xB4, 0x00,
                                 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    const std::string reference = upload("eyes", std::string(reinterpret_cast<const char*>(png), sizeof png),
                                         "image/png");
    ASSERT_FALSE(reference.empty());
    const json image = {{"type", "image"}, {"source", {{"type", "file"}, {"file", reference}}}};
    const HttpReply textOnly = chat("eyes", chatBody("i1", json::array({{{"type", "text"}, {"text", "What?"}}})));
    ASSERT_EQ(textOnly.status, 200) << textOnly.body;
    const HttpReply withImage =
        chat("eyes", chatBody("i2", json::array({{{"type", "text"}, {"text", "What?"}}, image})));
    ASSERT_EQ(withImage.status, 200) << withImage.body;
    const int without = bodyJson(textOnly)["message"]["usage"]["input_tokens"];
    const int with = bodyJson(withImage)["message"]["usage"]["input_tokens"];
    EXPECT_GE(with - without, testmodels::kImageTokens) << without << " " << with;

    const HttpReply assistant = chat("eyes", chatBody("i3", json::array({image}), "assistant"));
    EXPECT_EQ(assistant.status, 400);
    EXPECT_EQ(errorMessage(assistant), "image blocks are allowed only in user messages");
    const HttpReply marker =
        chat("eyes", chatBody("i4", json::array({{{"type", "text"}, {"text", "<__media__>"}}})));
    EXPECT_EQ(marker.status, 400);
    EXPECT_EQ(errorMessage(marker), "text must not contain the reserved marker <__media__>");
}

}  // namespace
