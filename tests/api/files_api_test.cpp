#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api/files_api.h"
#include "api_test_support.h"
#include "base/captured_log.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"
#include "net/fake_peer.h"
#include "net/http_request.h"

namespace {

const char* const kPlainStoreMessage =
    "This mivrel requires an encrypted storage, but its storage holds plain data; empty the storage to have it "
    "re-created encrypted.";

using nlohmann::json;

TEST(RangeHeaderTest, TenByteFileAndEmptyFile) {
    struct Case {
        std::string header;
        uint64_t size;
        int result;
        uint64_t start, end;
    };
    const Case cases[] = {
        {"bytes=0-0", 10, 1, 0, 0},
        {"bytes=-3", 10, 1, 7, 9},
        {"bytes=-20", 10, 1, 0, 9},
        {"bytes=-10", 10, 1, 0, 9},
        {"bytes=5-", 10, 1, 5, 9},
        {"bytes=5-100", 10, 1, 5, 9},
        {"bytes=9-9", 10, 1, 9, 9},
        {"bytes= 2 - 3 ", 10, 1, 2, 3},
        {"bytes=2-3,5-6", 10, 1, 2, 3},
        {"bytes=0-999999999999999999", 10, 1, 0, 9},  // 18 digits
        {"bytes=10-12", 10, -1, 0, 0},
        {"bytes=10-", 10, -1, 0, 0},
        {"bytes=-0", 10, -1, 0, 0},
        {"bytes=7-3", 10, 0, 0, 0},
        {"bytes=abc", 10, 0, 0, 0},
        {"items=0-1", 10, 0, 0, 0},
        {"Bytes=0-1", 10, 0, 0, 0},
        {"bytes=0-1x", 10, 0, 0, 0},
        {"bytes=", 10, 0, 0, 0},
        {"bytes=-", 10, 0, 0, 0},
        {"bytes=1-2-3", 10, 0, 0, 0},
        {"bytes=--3", 10, 0, 0, 0},
        {"bytes=\t1-2", 10, 0, 0, 0},
        {"bytes=0-9999999999999999999", 10, 0, 0, 0},  // 19 digits: ignored, never overflows
        {"bytes=-9999999999999999999", 10, 0, 0, 0},
        {"bytes=0-0", 0, -1, 0, 0},
        {"bytes=-1", 0, -1, 0, 0},
        {"bytes=0-", 0, -1, 0, 0},
        {"bytes=x", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header + " on " + std::to_string(c.size));
        uint64_t start = 77;
        uint64_t end = 77;
        EXPECT_EQ(parseRangeHeader(c.header, c.size, start, end), c.result);
        if (c.result == 1) {
            EXPECT_EQ(start, c.start);
            EXPECT_EQ(end, c.end);
        }
    }
}

// A manager of its own with the instances "plain" and "locked" (encrypted
// storage), both without store files.
class FilesApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        services_.mivrels = std::make_unique<MivrelManager>();
        services_.mivrels->setDir(dir_.path());
        MivrelConfig plain;
        plain.id = "plain";
        plain.familyType = "IMAGE";
        ASSERT_TRUE(services_.mivrels->addMivrel(std::move(plain)));
        MivrelConfig locked;
        locked.id = "locked";
        locked.loadSettings.params = {{"enable_storage_encryption", true}};
        ASSERT_TRUE(services_.mivrels->addMivrel(std::move(locked)));
    }

    // Runs one request through handleFiles and returns the captured reply.
    std::unique_ptr<CapturedReply> call(const std::string& method, const std::string& id, const std::string& name,
                                        const std::string& body = "",
                                        std::map<std::string, std::string> headers = {}) {
        Request request;
        request.method = method;
        request.path = "/v1/mivrel/" + id + "/files" + (name.empty() ? "" : "/" + name);
        request.headers = std::move(headers);
        request.body.assign(body.begin(), body.end());
        auto reply = std::make_unique<CapturedReply>();
        handleFiles(services_, reply->handler, request, reply->response, method, id, name);
        return reply;
    }

    // Uploads `body` as `type` and returns the stored name.
    std::string upload(const std::string& id, const std::string& body, const std::string& type = "text/plain",
                       const std::string& token = "") {
        std::map<std::string, std::string> headers{{"content-type", type}};
        if (!token.empty()) headers["authorization"] = "Bearer " + token;
        const auto reply = call("POST", id, "", body, headers);
        EXPECT_EQ(reply->statusLine(), "HTTP/1.1 200 OK") << reply->body();
        return stripName(reply->json().value("file", ""));
    }

    static std::string stripName(const std::string& reference) { return reference.substr(6); }

    static void expectError(const CapturedReply& reply, int status, const std::string& code,
                            const std::string& message) {
        EXPECT_EQ(reply.response.status, status);
        EXPECT_EQ(reply.body(), makeErrorJson(code, message, status));
    }

    static std::string header(const CapturedReply& reply, const std::string& name) {
        const auto it = reply.response.headers.find(name);
        return it == reply.response.headers.end() ? "<none>" : it->second;
    }

    TempDir dir_;
    ServiceContext services_;
};

// Large files go out in bounded pieces, whole and by range, and arrive
// intact.
TEST_F(FilesApiTest, DownloadsAreSentInBoundedPieces) {
    std::string content(5 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + (i * 7919) % 26);
    for (const char* token : {"", "key-1"}) {
        const std::string id = *token ? "locked" : "plain";
        SCOPED_TRACE(id);
        const std::string name = upload(id, content, "text/plain", token);
        std::map<std::string, std::string> auth;
        if (*token) auth["authorization"] = std::string("Bearer ") + token;
        struct Case {
            std::string range;
            size_t from, length;
        } cases[] = {
            {"", 0, content.size()},
            {"bytes=1000-", 1000, content.size() - 1000},
            {"bytes=-3000000", content.size() - 3000000, 3000000},
            {"bytes=5-9", 5, 5},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.range);
            auto headers = auth;
            if (!c.range.empty()) headers["range"] = c.range;
            const auto reply = call("GET", id, name, "", headers);
            EXPECT_EQ(reply->response.status, c.range.empty() ? 200 : 206);
            ASSERT_EQ(reply->body(), content.substr(c.from, c.length));
            EXPECT_LE(reply->out.largestWrite, 1024u * 1024) << "never the whole file in one piece";
        }
    }
}

// Uploads, downloads and listings racing an unload that empties the store
// get an answer of their own, never a store that is "not ready" or "not
// open", and never a refusal of the right key.
TEST_F(FilesApiTest, OperationsRacingAStoreBeingEmptied) {
    for (const char* id : {"plain", "locked"}) {
        SCOPED_TRACE(id);
        const std::map<std::string, std::string> auth{{"authorization", "Bearer key-1"}};
        std::atomic<bool> done{false};
        std::thread emptier([&] {
            while (!done) {
                services_.mivrels->find(id)->fileStore.truncate();
                std::this_thread::yield();
            }
        });
        std::vector<std::string> unexpected;
        for (int i = 0; i < 150; ++i) {
            auto headers = auth;
            headers["content-type"] = "text/plain";
            const auto up = call("POST", id, "", "data", headers);
            if (up->response.status != 200) unexpected.push_back("upload: " + up->body());
            if (up->response.status != 200) continue;
            const std::string name = stripName(up->json().value("file", ""));
            const auto down = call("GET", id, name, "", auth);
            if (down->response.status != 200 && down->response.status != 404)
                unexpected.push_back("download: " + down->body());
            const auto listed = call("GET", id, "", "", auth);
            if (listed->response.status != 200) unexpected.push_back("list: " + listed->body());
            const auto removed = call("DELETE", id, name, "", auth);
            if (removed->response.status != 200 && removed->response.status != 404)
                unexpected.push_back("delete: " + removed->body());
        }
        done = true;
        emptier.join();
        EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " unexpected, first: " << unexpected.front();
    }
}

TEST_F(FilesApiTest, UploadStoresUnderAFreshNameAndReplies) {
    CapturedLog log;
    const auto reply = call("POST", "plain", "", "hello", {{"content-type", "Image/JPG; charset=x"}});
    ASSERT_EQ(reply->statusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(header(*reply, "Content-Type"), "application/json");
    const json document = reply->json();
    const std::string name = stripName(document["file"]);
    EXPECT_TRUE(std::regex_match(name, std::regex("upload-[0-9]{8}-[0-9]{6}-[0-9a-f]{4}\\.jpg"))) << name;
    const std::string expected = "{\n  \"mivrelId\": \"plain\",\n  \"file\": \"files/" + name +
                                 "\",\n  \"size\": 5,\n  \"mime\": \"image/jpeg\"\n}";
    EXPECT_EQ(reply->body(), expected);
    EXPECT_TRUE(log.contains("[files] 업로드 plain/" + name + " (5 bytes)"));

    const auto wav = call("POST", "plain", "", "RIFF", {{"content-type", "audio/x-wav"}});
    EXPECT_EQ(wav->json()["mime"], "audio/wav");
    EXPECT_EQ(wav->json()["file"].get<std::string>().substr(wav->json()["file"].get<std::string>().size() - 4),
              ".wav");
}

TEST_F(FilesApiTest, UploadRefusals) {
    struct Case {
        std::string body;
        std::map<std::string, std::string> headers;
        std::string message;
    };
    const Case cases[] = {
        {"", {{"content-type", "nothing/valid"}}, "empty body"},  // before the type is looked at
        {"x", {{"content-type", "application/octet-stream"}}, "unsupported Content-Type: application/octet-stream"},
        {"x", {}, "unsupported Content-Type: "},
        {"x", {{"content-type", "text/html"}}, "unsupported Content-Type: text/html"},
        {"x", {{"content-type", "text/\xff"}}, "unsupported Content-Type: text/\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        expectError(*call("POST", "plain", "", c.body, c.headers), 400, "bad_request", c.message);
    }
    EXPECT_TRUE(services_.mivrels->find("plain")->fileStore.list().empty());
}

TEST_F(FilesApiTest, UploadSizeLimitIsFiftyMebibytes) {
    const std::string exact(kMaxUploadBytes, 'a');
    const auto stored = call("POST", "plain", "", exact, {{"content-type", "text/plain"}});
    EXPECT_EQ(stored->response.status, 200);
    EXPECT_EQ(stored->json()["size"], kMaxUploadBytes);
    expectError(*call("POST", "plain", "", exact + "a", {{"content-type", "text/plain"}}), 400, "bad_request",
                "file too large (max 50MB)");
}

TEST_F(FilesApiTest, OversizedUploadIsRefusedBeforeItsBodyIsRead) {
    struct Case {
        std::string requestLine;
        uint64_t length;
        bool refused;
    };
    const Case cases[] = {
        {"POST /v1/mivrel/m1/files HTTP/1.1", kMaxUploadBytes + 1, true},
        {"POST /v1/mivrel/m1/files?x=1 HTTP/1.1", kMaxUploadBytes + 1, true},
        {"POST /v1/mivrel/m1/files HTTP/1.1", kMaxUploadBytes, false},
        {"POST /v1/mivrel/m1/files/a.txt HTTP/1.1", kMaxUploadBytes + 1, false},  // a download
        {"PUT /v1/mivrel/m1/files HTTP/1.1", kMaxUploadBytes + 1, false},
        {"POST /v1/mivrel/m1/messages HTTP/1.1", kMaxUploadBytes + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requestLine);
        const std::string head = c.requestLine + "\r\nContent-Length: " + std::to_string(c.length) + "\r\n\r\n";
        FakeInput input(head + "body");
        RequestLimits limits;
        limits.bodyLimitFor = filesBodyLimit;
        Request request;
        int status = 0;
        std::string code;
        std::string message;
        try {
            readHttpRequest(input, request, limits);
        } catch (const HttpRequestRejectedException& e) {
            status = e.status();
            code = e.code();
            message = e.what();
        }
        // The upload's own reply, before a byte of the body is read.
        EXPECT_EQ(status, c.refused ? 400 : 0);
        if (c.refused) {
            EXPECT_EQ(code, "bad_request");
            EXPECT_EQ(message, "file too large (max 50MB)");
            EXPECT_EQ(input.consumed(), head.size());
        }
    }
}

TEST_F(FilesApiTest, ListInStoreOrderWithSizesTypesAndTimes) {
    expectError(*call("GET", "nobody", ""), 404, "mivrel_not_found", "Mivrel not found: nobody");
    EXPECT_EQ(call("GET", "plain", "")->body(), "{\n  \"mivrelId\": \"plain\",\n  \"files\": []\n}");
    EXPECT_FALSE(std::ifstream(services_.mivrels->find("plain")->fileStore.path()).good());  // not created

    const std::string first = upload("plain", "abc", "text/markdown");
    const std::string second = upload("plain", "{}", "application/json");
    const auto reply = call("GET", "plain", "");
    ASSERT_EQ(reply->response.status, 200);
    const json files = reply->json()["files"];
    ASSERT_EQ(files.size(), 2u);
    std::vector<std::string> names{first, second};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(files[0]["name"], names[0]);
    EXPECT_EQ(files[1]["name"], names[1]);
    for (const json& entry : files) {
        const bool md = entry["name"] == first;
        EXPECT_EQ(entry["size"], md ? 3 : 2);
        EXPECT_EQ(entry["mime"], md ? "text/markdown" : "application/json");
        EXPECT_GT(entry["createdAt"].get<int64_t>(), 1600000000000);
    }
    const std::string body = reply->body();
    EXPECT_LT(body.find("\"name\""), body.find("\"size\""));
    EXPECT_LT(body.find("\"size\""), body.find("\"mime\""));
    EXPECT_LT(body.find("\"mime\""), body.find("\"createdAt\""));
}

TEST_F(FilesApiTest, DownloadWholeAndByRange) {
    const std::string name = upload("plain", "0123456789");
    const auto whole = call("GET", "plain", name);
    EXPECT_EQ(whole->statusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(whole->body(), "0123456789");
    EXPECT_EQ(header(*whole, "Content-Type"), "text/plain");
    EXPECT_EQ(header(*whole, "Content-Disposition"), "inline; filename=\"" + name + "\"");
    EXPECT_EQ(header(*whole, "Accept-Ranges"), "bytes");
    EXPECT_EQ(header(*whole, "Content-Length"), "10");

    struct Case {
        std::string method, range, status, body, contentRange;
    };
    const Case cases[] = {
        {"GET", "bytes=-3", "206 Partial Content", "789", "bytes 7-9/10"},
        {"GET", "bytes=0-0", "206 Partial Content", "0", "bytes 0-0/10"},
        {"GET", "bytes=5-100", "206 Partial Content", "56789", "bytes 5-9/10"},
        {"GET", "bytes=10-12", "416 Range Not Satisfiable", "", "bytes */10"},
        {"GET", "bytes=-0", "416 Range Not Satisfiable", "", "bytes */10"},
        {"GET", "bytes=7-3", "200 OK", "0123456789", "<none>"},
        {"GET", "", "200 OK", "0123456789", "<none>"},
        {"POST", "bytes=-3", "200 OK", "0123456789", "<none>"},  // POST downloads, ignoring Range
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.range);
        std::map<std::string, std::string> headers;
        if (!c.range.empty()) headers["range"] = c.range;
        const auto reply = call(c.method, "plain", name, "", headers);
        EXPECT_EQ(reply->statusLine(), "HTTP/1.1 " + c.status);
        EXPECT_EQ(reply->body(), c.body);
        EXPECT_EQ(header(*reply, "Content-Range"), c.contentRange);
        EXPECT_EQ(header(*reply, "Content-Length"), std::to_string(c.body.size()));
    }
}

TEST_F(FilesApiTest, DownloadAndDeleteRefusals) {
    const std::string name = upload("plain", "x");
    struct Case {
        std::string method, id, name;
        int status;
        std::string code, message;
    };
    const Case cases[] = {
        {"GET", "plain", "../x.txt", 400, "bad_request", "invalid file name: ../x.txt"},
        {"GET", "plain", ".hidden", 400, "bad_request", "invalid file name: .hidden"},
        {"GET", "plain", "a\\b.txt", 400, "bad_request", "invalid file name: a\\b.txt"},
        {"GET", "plain", "a\xff.txt", 400, "bad_request", "invalid file name: a\xEF\xBF\xBD.txt"},
        {"GET", "plain", "missing.txt", 404, "file_not_found", "file not found: missing.txt"},
        {"POST", "plain", "missing.txt", 404, "file_not_found", "file not found: missing.txt"},
        {"GET", "locked", "never.txt", 401, "storage_key_required",
         "This mivrel's storage is encrypted; send the Authorization: Bearer key."},
        {"DELETE", "plain", "missing.txt", 404, "file_not_found", "File not found: missing.txt"},
        {"DELETE", "plain", "../x.txt", 400, "bad_request", "invalid file name: ../x.txt"},
        {"DELETE", "plain", "", 400, "bad_request", "unsupported method for files API: DELETE"},
        {"PUT", "plain", name, 400, "bad_request", "unsupported method for files API: PUT"},
        {"PUT", "plain", "", 400, "bad_request", "unsupported method for files API: PUT"},
        {"HEAD", "plain", name, 400, "bad_request", "unsupported method for files API: HEAD"},
        {"get", "plain", name, 400, "bad_request", "unsupported method for files API: get"},
        {"DELETE", "ghost", "a.txt", 404, "mivrel_not_found", "Mivrel not found: ghost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.id + "/" + c.name);
        expectError(*call(c.method, c.id, c.name), c.status, c.code, c.message);
    }
}

TEST_F(FilesApiTest, DeleteThenDeleteAgain) {
    const std::string name = upload("plain", "x");
    CapturedLog log;
    const auto removed = call("DELETE", "plain", name);
    EXPECT_EQ(removed->body(), "{\n  \"ok\": true,\n  \"mivrelId\": \"plain\",\n  \"file\": \"files/" + name + "\"\n}");
    EXPECT_TRUE(log.contains("[files] 삭제 plain/" + name));
    expectError(*call("DELETE", "plain", name), 404, "file_not_found", "File not found: " + name);
    expectError(*call("GET", "plain", name), 404, "file_not_found", "file not found: " + name);
}

TEST_F(FilesApiTest, EncryptedStoreFollowsTheBearerKey) {
    // No store yet: listing without a key is refused, uploading without one too.
    expectError(*call("GET", "locked", ""), 401, "storage_key_required",
                "This mivrel's storage is encrypted; send the Authorization: Bearer key.");
    expectError(*call("POST", "locked", "", "x", {{"content-type", "text/plain"}}), 401, "storage_key_required",
                "This mivrel's storage is encrypted; send the Authorization: Bearer key.");
    const std::string name = upload("locked", "secret", "text/plain", "key-1");

    const std::map<std::string, std::string> right{{"authorization", "Bearer key-1"}};
    const std::map<std::string, std::string> wrong{{"authorization", "Bearer key-2"}};
    const std::string mismatch = "The Bearer key does not match the key this mivrel's storage was encrypted with.";
    EXPECT_EQ(call("GET", "locked", name, "", right)->body(), "secret");
    for (const auto& [method, file] : std::vector<std::pair<std::string, std::string>>{
             {"GET", ""}, {"GET", name}, {"DELETE", name}}) {
        SCOPED_TRACE(method + " " + file);
        expectError(*call(method, "locked", file), 401, "storage_key_required",
                    "This mivrel's storage is encrypted; send the Authorization: Bearer key.");
        expectError(*call(method, "locked", file, "", wrong), 403, "storage_key_mismatch", mismatch);
    }
    expectError(*call("POST", "locked", "", "x", {{"content-type", "text/plain"}, {"authorization", "Bearer key-2"}}),
                403, "storage_key_mismatch", mismatch);
    EXPECT_EQ(call("GET", "locked", "", "", right)->json()["files"].size(), 1u);
    EXPECT_EQ(call("DELETE", "locked", name, "", right)->response.status, 200);
    // A plain instance ignores any token.
    const std::string plain = upload("plain", "open", "text/plain", "whatever");
    EXPECT_EQ(call("GET", "plain", plain)->body(), "open");
}

TEST_F(FilesApiTest, APlainStoreOfAnInstanceThatRequiresEncryptionIsRefusedForWhatItIs) {
    // The instance was switched to encryption after its store got plain
    // files: no key can help, so the reply must not ask for one.
    const std::string stored = upload("plain", "old", "text/plain");
    Mivrel& mivrel = *services_.mivrels->find("plain");
    mivrel.fileStore.configure(mivrel.fileStore.path(), true);
    for (const char* token : {"", "secret"}) {
        SCOPED_TRACE(token);
        std::map<std::string, std::string> headers{{"content-type", "text/plain"}};
        if (*token) headers["authorization"] = std::string("Bearer ") + token;
        expectError(*call("POST", "plain", "", "new", headers), 409, "storage_not_encrypted", kPlainStoreMessage);
    }
    EXPECT_EQ(mivrel.fileStore.list().size(), 1u) << "nothing new in plain text";
    EXPECT_EQ(call("GET", "plain", stored)->body(), "old") << "the plain files stay readable";
}

TEST_F(FilesApiTest, StoreFailuresMapToReplies) {
    struct Case {
        int kind;
        int status;
        std::string code, message;
    };
    const Case cases[] = {
        {0, 400, "bad_request", "invalid file name: x/y"},
        {1, 404, "file_not_found", "file not found: a"},
        {2, 500, "internal_error", "storage is corrupt"},
        {3, 401, "storage_key_required", "This mivrel's storage is encrypted; send the Authorization: Bearer key."},
        {4, 403, "storage_key_mismatch",
         "The Bearer key does not match the key this mivrel's storage was encrypted with."},
        {5, 409, "storage_not_encrypted", kPlainStoreMessage},
        {9, 500, "internal_error", "odd"},
    };
    const std::string texts[] = {"invalid file name: x/y", "file not found: a", "storage is corrupt", "locked",
                                 "mismatch", "plain", "odd"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].kind);
        CapturedReply reply;
        CapturedLog log;
        sendFileStoreError(reply.handler, reply.response, FileStoreException(cases[i].kind, texts[i]));
        expectError(reply, cases[i].status, cases[i].code, cases[i].message);
        EXPECT_EQ(log.contains("[files] 저장소 오류: " + texts[i]), cases[i].status == 500);
    }
}

}  // namespace
