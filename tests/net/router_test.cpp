// The route table: which request reaches which handler, the inference
// service gate, and the routes whose handlers are not installed.
#include <gtest/gtest.h>

#include "base/case_fold.h"
#include "net_test_support.h"

namespace {

// Installs a recording handler in every slot; each answers 200 with a text
// naming the slot and its arguments.
class RouterTest : public NetServingTest {
protected:
    void SetUp() override {
        NetServingTest::SetUp();
        options_.localV1Access = true;
        exported_ = true;
        RouteHandlers& r = routes_;
        auto reply = [](HttpRequestHandler& h, Response& resp, const std::string& text) {
            resp.setBody(text);
            h.sendResponse(resp);
        };
        r.serveStaticFile = [](HttpRequestHandler&, const Request& req, Response& resp) {
            resp.setBody("static " + req.path);
        };
        r.routeMgmtApi = [reply](HttpRequestHandler& h, const Request& req, Response& resp) {
            if (req.path != "/mgmt-api/known") return false;
            reply(h, resp, "mgmt");
            return true;
        };
        r.listMivrels = [reply](HttpRequestHandler& h, const Request&, Response& resp) { reply(h, resp, "list"); };
        r.createMivrel = [reply](HttpRequestHandler& h, const Request&, Response& resp) { reply(h, resp, "create"); };
        const std::pair<InstanceRoute RouteHandlers::*, const char*> instanceSlots[] = {
            {&RouteHandlers::reset, "reset"},
            {&RouteHandlers::messages, "messages"},
            {&RouteHandlers::rawPromptStream, "rawPromptStream"},
            {&RouteHandlers::status, "status"},
            {&RouteHandlers::modelInfo, "modelInfo"},
            {&RouteHandlers::stop, "stop"},
            {&RouteHandlers::unload, "unload"},
            {&RouteHandlers::tokenize, "tokenize"},
            {&RouteHandlers::choice, "choice"},
            {&RouteHandlers::systemOne, "systemone"},
            {&RouteHandlers::switchConversation, "switch"},
        };
        for (const auto& [slot, name] : instanceSlots) {
            const std::string label = name;
            r.*slot = [reply, label](HttpRequestHandler& h, const Request&, Response& resp, const std::string& id) {
                reply(h, resp, label + " " + id);
            };
        }
        r.files = [reply](HttpRequestHandler& h, const Request&, Response& resp, const std::string& method,
                          const std::string& id, const std::string& name) {
            reply(h, resp, "files " + method + " " + id + " [" + name + "]");
        };
        r.generate = [reply](HttpRequestHandler& h, const Request&, Response& resp, const std::string& id,
                             const std::string& family, const std::string& endpoint) {
            reply(h, resp, "generate " + id + " " + family + " " + endpoint);
        };
    }

    // Status and body of one request.
    std::pair<int, std::string> ask(const std::string& method, const std::string& target) {
        FakePeer peer(method + " " + target + " HTTP/1.1\r\n\r\n");
        HttpServ(routes_, options_, &peer, ConnOrigin::Socket);
        const auto replies = splitReplies(peer.output().written);
        if (replies.empty()) return {0, ""};
        return {std::stoi(replies[0].substr(9, 3)), bodyOf(replies[0])};
    }
};

TEST_F(RouterTest, RoutesInTableOrder) {
    const std::string notFound = "404";
    struct Case {
        const char* method;
        const char* target;
        std::string served;  // body, or "404"
    } cases[] = {
        {"GET", "/", "static /index.html"},
        {"POST", "/", notFound},
        {"GET", "/test", "static /test/index.html"},
        {"GET", "/test/", "static /test/index.html"},
        {"GET", "/test/a.js", "static /test/a.js"},
        {"GET", "/admin", "static /admin/index.html"},
        {"GET", "/app", "static /app/index.html"},
        {"GET", "/app/", "static /app/index.html"},
        {"GET", "/app/main.js?v=1", "static /app/main.js"},
        {"GET", "/apps", notFound},
        {"GET", "/assets", "static /assets"},
        {"GET", "/runtime_status.html", "static /runtime_status.html"},
        {"GET", "/product_info.html", "static /product_info.html"},
        {"DELETE", "/mgmt-api/known", "mgmt"},
        {"GET", "/mgmt-api/unknown", notFound},
        {"GET", "/v1/mivrels", "list"},
        {"GET", "/v1/mivrelList", "list"},
        {"POST", "/v1/mivrels", notFound},
        {"POST", "/v1/mivrel", "create"},
        {"POST", "/v1/mivrel/abc/reset", "reset abc"},
        {"POST", "/v1/mivrel/a/b/reset", "reset a/b"},
        {"POST", "/v1/mivrel//reset", notFound},
        {"GET", "/v1/mivrel/abc/messages", notFound},
        {"POST", "/v1/mivrel/abc/messages", "messages abc"},
        {"POST", "/v1/mivrel/a/files/x/messages", "messages a/files/x"},
        {"POST", "/v1/mivrel/abc/rawPromptStream", "rawPromptStream abc"},
        {"GET", "/v1/mivrel/abc/status", "status abc"},
        {"GET", "/v1/mivrel/abc/modelInfo", "modelInfo abc"},
        {"POST", "/v1/mivrel/abc/stop", "stop abc"},
        {"POST", "/v1/mivrel/abc/unload", "unload abc"},
        {"POST", "/v1/mivrel/abc/tokenize", "tokenize abc"},
        {"DELETE", "/v1/mivrel/a/files/x", "files DELETE a [x]"},
        {"GET", "/v1/mivrel/a/files", "files GET a []"},
        {"GET", "/v1/mivrel/a/files/", "files GET a []"},
        {"POST", "/v1/mivrel/a/files/imageGenerate", "files POST a [imageGenerate]"},
        {"GET", "/v1/mivrel/a/filesx", notFound},
        {"GET", "/v1/mivrel/a/b/files", notFound},
        {"POST", "/v1/mivrel/abc/imageGenerate", "generate abc IMAGE imageGenerate"},
        {"POST", "/v1/mivrel/abc/speechGenerate", "generate abc AUDIO speechGenerate"},
        {"POST", "/v1/mivrel/abc/videoGenerate", "generate abc VIDEO videoGenerate"},
        {"POST", "/v1/mivrel/abc/choice", "choice abc"},
        {"POST", "/v1/mivrel/abc/systemone", "systemone abc"},
        {"POST", "/v1/mivrel/abc/switch-conversation", "switch abc"},
        {"POST", "/v1/nothing", notFound},
        {"HEAD", "/", notFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        const auto [status, body] = ask(c.method, c.target);
        if (c.served == notFound) {
            EXPECT_EQ(status, 404);
            EXPECT_NE(body.find("\"code\":\"not_found\""), std::string::npos);
        } else {
            EXPECT_EQ(status, 200);
            EXPECT_EQ(body, c.served);
        }
    }
}

TEST_F(RouterTest, InferenceServiceOffAnswers503ForEveryV1Path) {
    exported_ = false;
    const std::string down =
        "{\"error\":{\"code\":\"inference_service_down\",\"message\":\"Inference service is not active. Run 'brisvane "
        "up' to activate.\"}}";
    for (const char* target : {"/v1/mivrels", "/v1/nothing", "/v1/mivrel/abc/messages"}) {
        EXPECT_EQ(ask("POST", target), std::make_pair(503, down)) << target;
    }
    EXPECT_EQ(ask("GET", "/v1").first, 404);
    EXPECT_EQ(ask("GET", "/mgmt-api/known").first, 200);
}

TEST_F(RouterTest, RowsWithoutHandlersAnswerNotFound) {
    routes_ = RouteHandlers();
    for (const char* target : {"/", "/app/", "/mgmt-api/known", "/v1/mivrels", "/v1/mivrel/abc/status"}) {
        const auto [status, body] = ask("GET", target);
        EXPECT_EQ(status, 404) << target;
        EXPECT_EQ(body, "{\"error\":{\"code\":\"not_found\",\"httpStatus\":404,\"message\":\"Unknown endpoint: " +
                            std::string(target) + "\"}}");
    }
}

TEST(RouterHelpers, ExtractPathParam) {
    EXPECT_EQ(extractPathParam("/v1/mivrel/a/b/reset", "/v1/mivrel/", "/reset"), "a/b");
    EXPECT_EQ(extractPathParam("/v1/mivrel//reset", "/v1/mivrel/", "/reset"), "");
    EXPECT_EQ(extractPathParam("/v1/mivrel/x/resets", "/v1/mivrel/", "/reset"), "");
    EXPECT_EQ(extractPathParam("/v2/mivrel/x/reset", "/v1/mivrel/", "/reset"), "");
}

TEST(RouterHelpers, ParseFilesPath) {
    struct Case {
        const char* path;
        bool match;
        const char* id;
        const char* name;
    } cases[] = {
        {"/v1/mivrel/a/files", true, "a", ""},     {"/v1/mivrel/a/files/", true, "a", ""},
        {"/v1/mivrel/a/files/x.png", true, "a", "x.png"}, {"/v1/mivrel/a/files/x/y", true, "a", "x/y"},
        {"/v1/mivrel/a/filesx", false, "", ""},    {"/v1/mivrel/a/b/files", false, "", ""},
        {"/v1/mivrel//files", false, "", ""},      {"/v1/mivrel/files", false, "", ""},
        {"/v1/mivrel/", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string id, name;
        EXPECT_EQ(parseFilesPath(c.path, &id, &name), c.match) << c.path;
        if (c.match) {
            EXPECT_EQ(id, c.id) << c.path;
            EXPECT_EQ(name, c.name) << c.path;
        }
    }
    EXPECT_EQ(toLower("AbC-1"), "abc-1");
}

// Each route declares its body limit: a few KiB where nothing is read, a few
// MiB for JSON bodies; the upload's own rule wins where it names one.
TEST(RouterHelpers, BodyLimitsAreDeclaredPerRoute) {
    const uint64_t none = kNoBodyLimitBytes;
    const uint64_t json = kJsonBodyLimitBytes;
    struct Case {
        const char* method;
        const char* path;
        uint64_t limit;
    } cases[] = {
        {"GET", "/v1/mivrels", none},
        {"GET", "/app/index.html", none},
        {"POST", "/", none},
        {"POST", "/nothing", none},
        {"POST", "/v1/mivrel", json},
        {"POST", "/v1/mivrel/a/reset", none},
        {"POST", "/v1/mivrel/a/stop", none},
        {"POST", "/v1/mivrel/a/unload", none},
        {"GET", "/v1/mivrel/a/status", none},
        {"POST", "/v1/mivrel/a/messages", json},
        {"POST", "/v1/mivrel/a/rawPromptStream", json},
        {"POST", "/v1/mivrel/a/tokenize", json},
        {"POST", "/v1/mivrel/a/choice", json},
        {"POST", "/v1/mivrel/a/systemone", json},
        {"POST", "/v1/mivrel/a/switch-conversation", json},
        {"POST", "/v1/mivrel/a/imageGenerate", json},
        {"POST", "/v1/mivrel/a/files/x/messages", json},  // the messages row, as routed
        {"DELETE", "/v1/mivrel/a/files/x", none},
        {"POST", "/v1/mivrel/a/files/x", none},
        {"POST", "/v1/mivrel/a/nothing", none},
        {"POST", "/mgmt-api/mivrel/create", json},
        {"GET", "/mgmt-api/events", none},
    };
    RouteHandlers routes;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        Request head;
        head.method = c.method;
        head.path = c.path;
        const BodyLimitRule rule = routeBodyLimit(routes, head);
        EXPECT_EQ(rule.maxBytes, c.limit);
        EXPECT_EQ(rule.status, 413);
        EXPECT_EQ(rule.message, std::string("Request body too large: ") + c.method + " " + c.path + " takes at most " +
                                    std::to_string(c.limit) + " bytes");
    }
    routes.bodyLimit = [](const Request& head) {
        return head.path == "/v1/mivrel/a/files" ? BodyLimitRule{50, 400, "bad_request", "too large"}
                                                 : BodyLimitRule{};
    };
    Request upload;
    upload.method = "POST";
    upload.path = "/v1/mivrel/a/files";
    EXPECT_EQ(routeBodyLimit(routes, upload).maxBytes, 50u);
    upload.path = "/v1/mivrel/a/messages";
    EXPECT_EQ(routeBodyLimit(routes, upload).maxBytes, json) << "no own rule: the table's";
}

}  // namespace
