// Model downloads on the real brisvanesrv: the maker's web service and the
// model file host are played by a TLS stand-in with a CA made here
// (BRISVANE_WEB_API and SSL_CERT_FILE point at it). Covers one and several
// files, progress, pause and resume, cancel, a restart in the middle, the
// answers a transfer must refuse, and deleting a model while it downloads.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "instance_home.h"
#include "support/test_models.h"
#include "support/test_paths.h"
#include "support/tls_file_host.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using Fault = TlsFileHost::Fault;

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

bool finished(const std::string& status) { return status != "downloading" && status != "verifying"; }

class ModelDownloads : public ::testing::Test {
protected:
    void SetUp() override {
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        host_ = std::make_unique<TlsFileHost>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
        fs::create_directories(home_.dir().file("served"));
    }

    bool start() {
        return home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                            {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(host_->port())}});
    }
    // Serves `bytes` at /files/<name> and returns the file record's URL.
    std::string serve(const std::string& name, const std::string& bytes, Fault fault = Fault::kNone) {
        const std::string disk = home_.dir().file("served/" + name);
        writeTextFile(disk, bytes);
        host_->setFile("/files/" + name, disk, fault);
        return url("/files/" + name);
    }
    std::string url(const std::string& path) const { return "https://localhost:" + std::to_string(host_->port()) + path; }
    void offer(const std::string& modelId, const json& record) {
        host_->setDocument("/brisvane/api/modelCatalog?modelId=" + modelId, catalogAnswer(record.dump()));
    }
    // A one-file record for `bytes` served as `name`.
    json singleFile(const std::string& name, const std::string& bytes, const json& params = json::object()) {
        return {{"name", "Model " + name}, {"dnUrl", serve(name, bytes)}, {"filename", name},
                {"fileSize", bytes.size()}, {"sha256", sha256Hex(bytes)}, {"params", params}};
    }
    HttpReply startDownload(const std::string& modelId) {
        return home_.post("/mgmt-api/models/download", json({{"modelId", modelId}}).dump());
    }
    json job(const std::string& modelId) const {
        // The document must outlive the loop: a member of a temporary does not.
        const json document = bodyJson(home_.get("/mgmt-api/models/download"));
        for (const json& entry : document["downloads"]) {
            if (entry["modelId"] == modelId) return entry;
        }
        return nullptr;
    }
    json waitFor(const std::string& modelId, const std::function<bool(const json&)>& done, int timeoutMs = 30000) {
        json last;
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            last = job(modelId);
            if (!last.is_null() && done(last)) return last;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "download of " << modelId << " did not get there: " << last.dump();
        return last;
    }
    json waitFinished(const std::string& modelId) {
        return waitFor(modelId, [](const json& j) { return finished(j["status"]); });
    }
    json waitTransferring(const std::string& modelId) {
        return waitFor(modelId, [](const json& j) { return j["status"] == "downloading" && j["bytesDownloaded"] > 0; });
    }
    json registryEntry(const std::string& modelId) const {
        const json registry = json::parse(readTextFile(home_.dir().file("models/models.json")), nullptr, false);
        for (const json& entry : registry["models"]) {
            if (entry["modelId"] == modelId) return entry;
        }
        return nullptr;
    }
    std::string modelFile(const std::string& modelId, const std::string& name) const {
        return home_.dir().file("models/" + modelId + "/" + name);
    }
    std::string lastRange() const {
        const std::vector<std::string> requests = host_->requests();
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->rfind("GET /files/", 0) != 0) continue;
            const size_t at = it->find("Range: ");
            return at == std::string::npos ? "" : it->substr(at + 7, it->find("\r\n", at) - at - 7);
        }
        return "";
    }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<TlsFileHost> host_;
};

TEST_F(ModelDownloads, CatalogModelDownloadsAndChats) {
    const std::string model = readTextFile(testModelPath(testmodels::kScriptedChatFile));
    ASSERT_FALSE(model.empty());
    offer("scripted", singleFile("scripted.gguf", model, {{"assembler", "qwen3"}, {"n_ctx_size", 512}}));
    ASSERT_TRUE(start());

    HttpReply reply = startDownload("scripted");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply), json({{"modelId", "scripted"}, {"status", "started"}, {"fileSize", model.size()}, {"fileCount", 1}}));
    const json done = waitFinished("scripted");
    EXPECT_EQ(done["status"], "completed") << done.dump();
    EXPECT_EQ(done["progressPercent"], 100.0);
    EXPECT_EQ(done["bytesDownloaded"], model.size());
    EXPECT_EQ(done["name"], "Model scripted.gguf");

    EXPECT_EQ(readTextFile(modelFile("scripted", "scripted.gguf")), model);
    const json entry = registryEntry("scripted");
    EXPECT_EQ(entry["downloading"], false);
    EXPECT_TRUE(entry["downloadedAt"].is_string()) << entry.dump();
    EXPECT_EQ(entry["filename"], "scripted.gguf");
    EXPECT_EQ(json::parse(readTextFile(modelFile("scripted", "properties.json"))),
              json({{"assembler", "qwen3"}, {"n_ctx_size", 512}}));
    EXPECT_EQ(errorCode(startDownload("scripted")), "already_downloaded");

    reply = home_.post("/mgmt-api/mivrelCreate", json({{"mivrelId", "talk"}, {"name", "Talk"}, {"modelId", "scripted"}, {"n_ctx", 512}}).dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    reply = home_.post("/v1/mivrel/talk/messages",
                       json({{"conversationId", "c1"}, {"messages", json::array({{{"role", "user"}, {"content", "Hello"}}})}}).dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_FALSE(bodyJson(reply)["message"]["content"].empty()) << reply.body;
}

TEST_F(ModelDownloads, SeveralFilesWithRoles) {
    const std::string main = randomBytes(300000, 1);
    const std::string projector = randomBytes(70000, 2);
    offer("pair", {{"name", "Pair"},
                   {"dnUrl", url("/unused")},
                   {"filename", "main.gguf"},
                   {"params", {{"assembler", "qwen3"}}},
                   {"files", json::array({{{"filename", "main.gguf"}, {"dnUrl", serve("main.gguf", main)}, {"fileSize", main.size()},
                                           {"sha256", sha256Hex(main)}, {"role", "model"}},
                                          {{"filename", "proj.gguf"}, {"dnUrl", serve("proj.gguf", projector)},
                                           {"fileSize", projector.size()}, {"role", "mmproj"}}})}});
    ASSERT_TRUE(start());
    const HttpReply reply = startDownload("pair");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply)["fileCount"], 2);
    EXPECT_EQ(bodyJson(reply)["fileSize"], main.size() + projector.size());
    EXPECT_EQ(waitFinished("pair")["status"], "completed");
    EXPECT_EQ(readTextFile(modelFile("pair", "main.gguf")), main);
    EXPECT_EQ(readTextFile(modelFile("pair", "proj.gguf")), projector);
    EXPECT_EQ(json::parse(readTextFile(modelFile("pair", "properties.json"))),
              json({{"assembler", "qwen3"}, {"files", {{"model", "main.gguf"}, {"mmproj", "proj.gguf"}}}}));
    const json listing = bodyJson(home_.get("/mgmt-api/models"));
    for (const json& entry : listing["models"]) {
        if (entry["modelId"] != "pair") continue;
        EXPECT_EQ(entry["status"], "downloaded");
        EXPECT_EQ(entry["fileSize"], main.size() + projector.size());
    }
}

TEST_F(ModelDownloads, PauseThenResumeFromThePartialSize) {
    const std::string bytes = randomBytes(2 * 1024 * 1024, 3);
    offer("slow", singleFile("slow.gguf", bytes));
    host_->setThrottle(20);
    ASSERT_TRUE(start());
    ASSERT_EQ(startDownload("slow").status, 200);
    const json running = waitTransferring("slow");
    EXPECT_EQ(running["totalBytes"], bytes.size());
    EXPECT_GT(running["progressPercent"].get<double>(), 0.0);
    EXPECT_LT(running["progressPercent"].get<double>(), 100.0);
    EXPECT_EQ(errorCode(startDownload("slow")), "already_downloading");
    EXPECT_EQ(registryEntry("slow")["downloading"], true);

    HttpReply reply = home_.post("/mgmt-api/models/slow/pauseDownload", "");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(bodyJson(reply), json({{"modelId", "slow"}, {"status", "pausing"}}));
    const json paused = waitFinished("slow");
    EXPECT_EQ(paused["status"], "paused");
    EXPECT_EQ(paused["errorMessage"], "");
    const uintmax_t partial = fs::file_size(modelFile("slow", "slow.gguf"));
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, bytes.size());
    EXPECT_EQ(readTextFile(modelFile("slow", "slow.gguf")), bytes.substr(0, partial)) << "the part on disk is correct";
    EXPECT_EQ(registryEntry("slow")["downloading"], false);
    EXPECT_EQ(errorCode(home_.post("/mgmt-api/models/slow/pauseDownload", "")), "download_not_active");
    EXPECT_EQ(errorMessage(home_.post("/mgmt-api/models/slow/cancelDownload", "")), "not in downloading state: paused");

    host_->setThrottle(0);
    ASSERT_EQ(startDownload("slow").status, 200);
    EXPECT_EQ(waitFinished("slow")["status"], "completed");
    EXPECT_EQ(lastRange(), "bytes=" + std::to_string(partial) + "-");
    EXPECT_EQ(readTextFile(modelFile("slow", "slow.gguf")), bytes) << "byte-identical after the resume";
}

TEST_F(ModelDownloads, CancelRemovesThePartialFiles) {
    const std::string bytes = randomBytes(2 * 1024 * 1024, 4);
    offer("gone", singleFile("gone.gguf", bytes));
    host_->setThrottle(20);
    ASSERT_TRUE(start());
    ASSERT_EQ(startDownload("gone").status, 200);
    waitTransferring("gone");
    // Pause then cancel: the later request wins.
    ASSERT_EQ(home_.post("/mgmt-api/models/gone/pauseDownload", "").status, 200);
    const HttpReply reply = home_.post("/mgmt-api/models/gone/cancelDownload", "");
    EXPECT_EQ(bodyJson(reply), json({{"modelId", "gone"}, {"status", "cancelling"}}));
    EXPECT_EQ(waitFinished("gone")["status"], "cancelled");
    EXPECT_FALSE(fs::exists(modelFile("gone", "gone.gguf")));
    EXPECT_EQ(registryEntry("gone")["downloading"], false);
    EXPECT_TRUE(registryEntry("gone")["downloadedAt"].is_null());
    EXPECT_EQ(errorCode(home_.post("/mgmt-api/models/nobody/pauseDownload", "")), "download_not_found");
}

TEST_F(ModelDownloads, RestartInTheMiddleIsRecoveredAndResumed) {
    const std::string bytes = randomBytes(2 * 1024 * 1024, 5);
    offer("cut", singleFile("cut.gguf", bytes));
    host_->setThrottle(20);
    ASSERT_TRUE(start());
    ASSERT_EQ(startDownload("cut").status, 200);
    waitTransferring("cut");
    home_.process().stop(9);  // the process dies with the job running
    EXPECT_EQ(registryEntry("cut")["downloading"], true);
    const uintmax_t partial = fs::file_size(modelFile("cut", "cut.gguf"));

    ASSERT_TRUE(start());
    const json recovered = job("cut");
    EXPECT_EQ(recovered["status"], "failed");
    EXPECT_EQ(recovered["errorMessage"], "Interrupted by brisvanesrv restart");
    EXPECT_EQ(recovered["bytesDownloaded"], partial);
    EXPECT_EQ(registryEntry("cut")["downloading"], false);
    EXPECT_EQ(fs::file_size(modelFile("cut", "cut.gguf")), partial) << "kept for the resume";

    host_->setThrottle(0);
    ASSERT_EQ(startDownload("cut").status, 200);
    EXPECT_EQ(waitFinished("cut")["status"], "completed");
    EXPECT_EQ(readTextFile(modelFile("cut", "cut.gguf")), bytes);
}

// Each answer a transfer must not take ends the job in its state with a clear
// error and no corrupt model file.
TEST_F(ModelDownloads, BadAnswersEndInTheirState) {
    const std::string bytes = randomBytes(600000, 6);
    TlsFileHost impostor(ca_.issueServerCertificate({"other.example"}));
    impostor.setFile("/files/x.gguf", home_.dir().file("served/x.gguf"));
    const int refusingPort = [] {
        // A port that was free a moment ago: nothing listens there.
        return static_cast<int>(freeLoopbackPort());
    }();

    struct Case {
        const char* id;
        std::function<json()> record;   // made before the server starts
        std::string partial;            // bytes on disk before the start
        const char* status;
        std::string error;              // the start of errorMessage
        std::string fileAfter;          // "" when the file must be gone
    };
    const std::string half = bytes.substr(0, bytes.size() / 2);
    std::string upperDigest = sha256Hex(bytes);
    for (char& c : upperDigest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Case cases[] = {
        {"missing", [&] { json r = singleFile("x1.gguf", bytes); host_->setFault("/files/x1.gguf", Fault::kNotFound); return r; },
         "", "failed", "download of x1.gguf failed: HTTP/1.1 404 Not Found", ""},
        {"missing-resume", [&] { json r = singleFile("x2.gguf", bytes); host_->setFault("/files/x2.gguf", Fault::kNotFound); return r; },
         half, "failed", "download of x2.gguf failed: HTTP/1.1 404 Not Found", half},
        {"wrong-range", [&] { json r = singleFile("x3.gguf", bytes); host_->setFault("/files/x3.gguf", Fault::kWrongRange); return r; },
         half, "failed", "unexpected range from the server for x3.gguf", half},
        {"whole-again", [&] { json r = singleFile("x4.gguf", bytes); host_->setFault("/files/x4.gguf", Fault::kIgnoreRange); return r; },
         "garbage that the whole file replaces", "completed", "", bytes},
        {"digest", [&] { json r = singleFile("x5.gguf", bytes); r["sha256"] = sha256Hex("other"); return r; },
         "", "verify_failed", "SHA256 불일치: x5.gguf", ""},
        {"upper-digest", [&] { json r = singleFile("x6.gguf", bytes); r["sha256"] = upperDigest; return r; },
         "", "completed", "", bytes},
        {"truncated", [&] { json r = singleFile("x7.gguf", bytes); host_->setFault("/files/x7.gguf", Fault::kTruncateHalf); return r; },
         "", "failed", "transfer truncated: x7.gguf (300000 of 600000 bytes)", half},
        {"chunked", [&] { json r = singleFile("x8.gguf", bytes); host_->setFault("/files/x8.gguf", Fault::kChunked); return r; },
         "", "failed", "chunked transfer encoding is not supported: x8.gguf", ""},
        {"size", [&] { json r = singleFile("x9.gguf", bytes); r["fileSize"] = bytes.size() + 1; return r; },
         "", "failed", "파일 크기 불일치: x9.gguf (expected=600001 actual=600000)", ""},
        {"unreachable", [&] { json r = singleFile("xa.gguf", bytes); r["dnUrl"] = "https://127.0.0.1:" + std::to_string(refusingPort) + "/files/xa.gguf"; return r; },
         "", "failed", "HTTPS connection failed: 127.0.0.1", ""},
        {"other-name", [&] { json r = singleFile("x.gguf", bytes); r["dnUrl"] = "https://localhost:" + std::to_string(impostor.port()) + "/files/x.gguf"; return r; },
         "", "failed", "HTTPS connection failed: localhost (certificate verification failed", ""},
        // Hosts that send more than the catalogue declares: nothing beyond
        // the declared size is written, and the file fails as a mismatch.
        {"endless", [&] { json r = singleFile("xb.gguf", bytes); host_->setFault("/files/xb.gguf", Fault::kEndless); return r; },
         "", "failed", "파일 크기 불일치: xb.gguf (expected=600000 actual=more than 600000)",
         std::string(600000, 'z')},
        {"huge-length", [&] { json r = singleFile("xc.gguf", bytes); host_->setFault("/files/xc.gguf", Fault::kHugeLength); return r; },
         "", "failed", "파일 크기 불일치: xc.gguf (expected=600000 actual=10000000000000)", ""},
        {"huge-range", [&] { json r = singleFile("xd.gguf", bytes); host_->setFault("/files/xd.gguf", Fault::kHugeRange); return r; },
         half, "failed", "파일 크기 불일치: xd.gguf (expected=600000 actual=100000000000)", half},
    };
    std::map<std::string, std::string> fileNames;
    for (const Case& c : cases) {
        const json record = c.record();
        offer(c.id, record);
        fileNames[c.id] = record["filename"];
        if (!c.partial.empty()) fs::create_directories(home_.dir().file(std::string("models/") + c.id));
    }
    ASSERT_TRUE(start());
    for (const Case& c : cases) {
        const std::string file = modelFile(c.id, fileNames[c.id]);
        if (!c.partial.empty()) writeTextFile(file, c.partial);
        const HttpReply reply = startDownload(c.id);
        ASSERT_EQ(reply.status, 200) << c.id << " " << reply.body;
        const json done = waitFinished(c.id);
        EXPECT_EQ(done["status"], c.status) << c.id << " " << done.dump();
        EXPECT_EQ(done["errorMessage"].get<std::string>().rfind(c.error, 0), 0u) << c.id << " " << done.dump();
        if (c.fileAfter.empty()) {
            EXPECT_FALSE(fs::exists(file)) << c.id;
        } else {
            // The size first: a host that never stops must not make the test
            // read gigabytes.
            std::error_code ec;
            const uintmax_t size = fs::file_size(file, ec);
            EXPECT_EQ(size, c.fileAfter.size()) << c.id;
            if (size == c.fileAfter.size()) EXPECT_EQ(readTextFile(file), c.fileAfter) << c.id;
        }
        const json entry = registryEntry(c.id);
        EXPECT_EQ(entry["downloading"], false) << c.id;
        EXPECT_EQ(entry["downloadedAt"].is_string(), std::string(c.status) == "completed") << c.id;
    }
    EXPECT_EQ(impostor.requests().size(), 0u) << "nothing was asked of a host with another name's certificate";
}

TEST_F(ModelDownloads, StartRefusals) {
    offer("no-url", {{"filename", "a.gguf"}});
    offer("dotted", {{"dnUrl", url("/x")}, {"files", json::array({{{"filename", ".hidden"}, {"dnUrl", url("/x")}}})}});
    offer("climbing", {{"dnUrl", url("/x")}, {"filename", "../../escape.gguf"}});
    offer("slashed", {{"dnUrl", url("/x")}, {"files", json::array({{{"filename", "sub/a.gguf"}, {"dnUrl", url("/x")}}})}});
    // File names the registry uses itself, in any letter case.
    offer("own-props", {{"dnUrl", url("/x")}, {"files", json::array({{{"filename", "properties.json"}, {"dnUrl", url("/x")}}})}});
    offer("own-registry", {{"dnUrl", url("/x")}, {"filename", "Models.JSON"}});
    // A URL whose bytes would end the request line and add a header.
    offer("injected", {{"dnUrl", url("/x")},
                       {"files", json::array({{{"filename", "a.gguf"}, {"dnUrl", url("/x HTTP/1.0\r\nX-Injected: yes\r\n")}}})}});
    offer("spaced", {{"dnUrl", url("/a b")}, {"filename", "b.gguf"}});
    host_->setDocument("/brisvane/api/modelCatalog?modelId=unknown", R"({"retcode":3,"retdesc":"unknown"})");
    host_->setDocument("/brisvane/api/modelCatalog?modelId=html", "<html>oops</html>");
    ASSERT_TRUE(start());

    struct Case {
        std::string body;
        int status;
        const char* code;
        std::string message;
    };
    const Case cases[] = {
        {"{oops", 400, "bad_request", "invalid JSON"},
        {"{}", 400, "bad_request", "missing modelId"},
        {R"({"modelId": "../up"})", 400, "bad_request", "invalid modelId: ../up"},
        {R"({"modelId": "unknown"})", 404, "model_not_found", "modelId not in catalog: unknown"},
        {R"({"modelId": "nowhere"})", 502, "catalog_fetch_failed", ""},
        {R"({"modelId": "html"})", 502, "catalog_fetch_failed", "failed to fetch catalog: the catalog answer is not JSON"},
        {R"({"modelId": "no-url"})", 502, "no_download_url", "no dnUrl in catalog"},
        {R"({"modelId": "dotted"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): .hidden"},
        {R"({"modelId": "climbing"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): ../../escape.gguf"},
        {R"({"modelId": "slashed"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): sub/a.gguf"},
        {R"({"modelId": "own-props"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): properties.json"},
        {R"({"modelId": "own-registry"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): Models.JSON"},
        {R"({"modelId": "injected"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): a.gguf"},
        {R"({"modelId": "spaced"})", 502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): b.gguf"},
    };
    for (const Case& c : cases) {
        const HttpReply reply = home_.post("/mgmt-api/models/download", c.body);
        EXPECT_EQ(reply.status, c.status) << c.body << " " << reply.body;
        EXPECT_EQ(errorCode(reply), c.code) << c.body;
        EXPECT_EQ(errorMessage(reply).rfind(c.message, 0), 0u) << c.body << " " << reply.body;
    }
    EXPECT_FALSE(fs::exists(home_.dir().file("escape.gguf")));
    EXPECT_TRUE(bodyJson(home_.get("/mgmt-api/models/download"))["downloads"].empty());
    for (const std::string& request : host_->requests()) {
        EXPECT_EQ(request.find("X-Injected"), std::string::npos) << request;
        EXPECT_EQ(request.rfind("GET /x", 0), std::string::npos) << "no file was asked for: " << request;
    }
    // A model auto-registered before its file list was refused stays registered.
    EXPECT_EQ(registryEntry("dotted")["downloadedAt"], nullptr);

    // A damaged registry is reported and kept.
    const std::string damaged = "{\"models\": [";
    writeTextFile(home_.dir().file("models/models.json"), damaged);
    offer("fine", singleFile("fine.gguf", "abc"));
    const HttpReply reply = startDownload("fine");
    EXPECT_EQ(reply.status, 500) << reply.body;
    EXPECT_EQ(readTextFile(home_.dir().file("models/models.json")), damaged);
}

TEST_F(ModelDownloads, DeletingADownloadingModelCancelsItFirst) {
    const std::string bytes = randomBytes(2 * 1024 * 1024, 7);
    offer("doomed", singleFile("doomed.gguf", bytes));
    host_->setThrottle(20);
    ASSERT_TRUE(start());
    ASSERT_EQ(startDownload("doomed").status, 200);
    waitTransferring("doomed");
    const HttpReply reply = home_.post("/mgmt-api/models/doomed/delete", "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(job("doomed")["status"], "cancelled");
    EXPECT_FALSE(fs::exists(home_.dir().file("models/doomed")));
    EXPECT_TRUE(registryEntry("doomed").is_null());
}

}  // namespace
