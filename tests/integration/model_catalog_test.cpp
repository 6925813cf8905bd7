// The catalogue endpoints of the real brisvanesrv against a stand-in of the
// maker's web service (TLS with a CA made here, BRISVANE_WEB_API pointing at
// it): the proxy and the refresh of a downloaded model.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "instance_home.h"
#include "support/test_models.h"
#include "support/test_paths.h"
#include "support/tls_file_host.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

class ModelCatalog : public ::testing::Test {
protected:
    void SetUp() override {
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        service_ = std::make_unique<TlsFileHost>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
    }
    bool start(int port) {
        return home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                            {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(port)}});
    }
    bool start() { return start(service_->port()); }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<TlsFileHost> service_;
};

TEST_F(ModelCatalog, ProxyHandsOnTheServiceAnswer) {
    const std::string document = R"({"retcode":0,"data":{"models":[{"modelId":"a"}]}, "extra" : [1,2]})";
    service_->setDocument("/brisvane/api/modelCatalog?category=llm&q=a%20b", document);
    service_->setDocument("/brisvane/api/modelCatalog", "not even JSON");
    ASSERT_TRUE(start());

    HttpReply reply = home_.get("/mgmt-api/modelCatalog?category=llm&q=a%20b");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, document) << "unchanged, spacing included";
    EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    reply = home_.get("/mgmt-api/modelCatalog");
    EXPECT_EQ(reply.body, "not even JSON");
    reply = home_.get("/mgmt-api/modelCatalog/anything/below");
    EXPECT_EQ(reply.status, 200) << "every path below the proxy's";
    const std::vector<std::string> requests = service_->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /brisvane/api/modelCatalog?category=llm&q=a%20b HTTP/1.0");
    EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "GET /brisvane/api/modelCatalog HTTP/1.0");
}

TEST_F(ModelCatalog, ProxyReportsAnUnreachableOrUntrustedService) {
    TlsFileHost impostor(ca_.issueServerCertificate({"other.example"}));
    ASSERT_TRUE(start(impostor.port()));
    HttpReply reply = home_.get("/mgmt-api/modelCatalog?x=1");
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(errorCode(reply), "catalog_fetch_failed");
    EXPECT_EQ(errorMessage(reply).rfind("failed to fetch catalog: HTTPS connection failed: localhost", 0), 0u) << reply.body;
    EXPECT_NE(errorMessage(reply).find("certificate verification failed"), std::string::npos) << reply.body;
    EXPECT_TRUE(reply.header("Access-Control-Allow-Origin").empty());
}

TEST_F(ModelCatalog, RefreshUpdatesEntryAndProperties) {
    home_.addModel("cat", "m.gguf", testmodels::kTinyChatFile, {{"assembler", "old"}});
    home_.addModel("same", "m.gguf", testmodels::kTinyChatFile, {{"assembler", "kept"}});
    ASSERT_TRUE(start());
    // Entries as a download left them: quantization and a context size.
    json registry = json::parse(readTextFile(home_.dir().file("models/models.json")));
    for (json& entry : registry["models"]) {
        entry["quantization"] = "Q8_0";
        entry["maxContextSize"] = 1024;
    }
    registry["models"].push_back({{"modelId", "fresh"}, {"downloadedAt", nullptr}});
    registry["models"].push_back({{"modelId", "gone"}, {"downloadedAt", "2026-01-01T00:00:00Z"}});
    writeTextFile(home_.dir().file("models/models.json"), registry.dump());
    service_->setDocument("/brisvane/api/modelCatalog?modelId=cat",
                          catalogAnswer(R"({"name":"Cat 2","format":"gguf","engineType":"v2","maxContextSize":4096,
                                            "params":{"assembler":"qwen3","n_ctx_size":2048}})"));
    service_->setDocument("/brisvane/api/modelCatalog?modelId=same", catalogAnswer(R"({"params":{}})"));
    service_->setDocument("/brisvane/api/modelCatalog?modelId=gone", R"({"retcode":3,"retdesc":"no such model"})");

    HttpReply reply = home_.post("/mgmt-api/models/cat/refreshCatalog", "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    const json body = bodyJson(reply);
    EXPECT_EQ(body["modelId"], "cat");
    EXPECT_EQ(body["properties"], json({{"assembler", "qwen3"}, {"n_ctx_size", 2048}}));
    EXPECT_EQ(body["model"]["name"], "Cat 2");
    EXPECT_EQ(body["model"]["engineType"], "v2");
    EXPECT_EQ(body["model"]["maxContextSize"], 4096);
    EXPECT_EQ(body["model"]["quantization"], "Q8_0") << "a field the record lacks keeps its value";
    EXPECT_EQ(json::parse(readTextFile(home_.dir().file("models/cat/properties.json"))), body["properties"]);
    EXPECT_EQ(json::parse(readTextFile(home_.dir().file("models/models.json")))["models"][0], body["model"]);

    reply = home_.post("/mgmt-api/models/same/refreshCatalog", "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply)["properties"], json::object());
    EXPECT_EQ(bodyJson(reply)["model"]["name"], "Model same");
    EXPECT_EQ(json::parse(readTextFile(home_.dir().file("models/same/properties.json")))["assembler"], "kept");

    const size_t asked = service_->requests().size();
    reply = home_.post("/mgmt-api/models/fresh/refreshCatalog", "");
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(errorCode(reply), "model_not_downloaded");
    EXPECT_EQ(service_->requests().size(), asked) << "the service is not asked for a model not downloaded";
    reply = home_.post("/mgmt-api/models/gone/refreshCatalog", "");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(errorMessage(reply), "modelId not in catalog: gone");
    EXPECT_EQ(errorMessage(home_.post("/mgmt-api/models/nobody/refreshCatalog", "")), "unknown modelId: nobody");
}

}  // namespace
