// Brisvane's own pages in a real browser (headless Chromium) against the real
// brisvanesrv with the kit's models: every page loads and renders its
// templates without a page error, the application creates an instance,
// chats with a streamed reply and keeps files, the administration and status
// pages show the server's data, and a server whose inference service is off
// still shows pages that say how to switch it on. Screenshots of every page
// are written to <build>/screenshots/ for a person to look at. Every endpoint
// the pages call exists: any failed load is an error.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "browser_session.h"
#include "instance_home.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string screenshotPath(const std::string& name) {
    const fs::path dir = fs::path(builtProgramsDir()).parent_path() / "screenshots";
    fs::create_directories(dir);
    return (dir / (name + ".png")).string();
}

// Links the installed web application into the home, as an installation has
// it beside the programs.
void linkWebapp(const InstanceHome& home) {
    fs::create_directory_symlink(fs::path(builtProgramsDir()) / "webapp", home.dir().file("webapp"));
}

class WebPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("kit-chat", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_->addInstance("hello", "kit-chat");
        linkWebapp(*home_);
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(browser_.start()) << browser_.error() << "\n" << browser_.browserLog();
        browser_.acceptDialogs();
    }

    static std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(home_->port()) + path;
    }

    // Fails the test for every page error, failed loads included.
    void expectNoPageErrors(const std::string& page) {
        for (const PageError& e : browser_.takeErrors()) {
            ADD_FAILURE() << page << ": " << e.source << " error: " << e.text << " " << e.url;
        }
    }

    std::string text(const std::string& selector) {
        const json value = browser_.evaluate("(document.querySelector(" + json(selector).dump() +
                                             ") || {textContent: ''}).textContent");
        return value.is_string() ? value.get<std::string>() : std::string();
    }

    bool click(const std::string& selector) {
        const json done = browser_.evaluate("(() => { const e = document.querySelector(" + json(selector).dump() +
                                            "); if (!e) return false; e.click(); return true; })()");
        return done.is_boolean() && done.get<bool>();
    }

    bool fill(const std::string& selector, const std::string& value) {
        const json done = browser_.evaluate("(() => { const e = document.querySelector(" + json(selector).dump() +
                                            "); if (!e) return false; e.value = " + json(value).dump() +
                                            "; e.dispatchEvent(new Event('input', {bubbles: true})); return true; })()");
        return done.is_boolean() && done.get<bool>();
    }

    static std::unique_ptr<InstanceHome> home_;
    BrowserSession browser_;
};

std::unique_ptr<InstanceHome> WebPages::home_;

TEST_F(WebPages, EveryPageLoadsAndRendersWithoutErrors) {
    struct Page {
        const char* path;
        const char* screenshot;
        const char* ready;  // truthy once the page shows the server's data
    };
    const Page pages[] = {
        {"/", "home", "document.getElementById('instanceCount').textContent === '1'"},
        {"/app/", "app", "document.querySelector('#instances tr[data-id=\"hello\"]')"},
        {"/admin/", "admin", "document.querySelector('#instanceTable tr[data-id=\"hello\"]') && "
                             "document.querySelector('#runtimeTable tbody tr')"},
        {"/test/", "chat-test", "document.querySelector('#testInstance option[value=\"hello\"]')"},
        {"/runtime_status.html", "runtime-status", "document.querySelector('#instanceTable tr[data-id=\"hello\"]')"},
        {"/product_info.html", "product-info",
         "document.querySelector('#components tbody tr') || document.querySelector('#productMessage .msg')"},
    };
    for (const Page& page : pages) {
        SCOPED_TRACE(page.path);
        ASSERT_TRUE(browser_.open(url(page.path))) << browser_.error();
        EXPECT_TRUE(browser_.waitFor(page.ready)) << browser_.error();
        // The templates were rendered: the title, the shared header and the
        // version, and no directive is left in the page.
        EXPECT_NE(browser_.evaluate("document.title").get<std::string>().find(" – Brisvane"), std::string::npos);
        EXPECT_NE(text("header.site .version").find("1.0.23"), std::string::npos);
        EXPECT_EQ(browser_.evaluate("document.documentElement.outerHTML.includes('<' + '%')"), false);
        EXPECT_TRUE(browser_.screenshot(screenshotPath(page.screenshot)));
        expectNoPageErrors(page.path);
    }

    // A narrow window scrolls nothing sideways but the tables' own boxes.
    ASSERT_TRUE(browser_.resize(400, 860));
    for (const char* path : {"/app/", "/admin/", "/runtime_status.html"}) {
        ASSERT_TRUE(browser_.open(url(path))) << browser_.error();
        EXPECT_TRUE(browser_.waitFor("document.documentElement.scrollWidth <= window.innerWidth + 1", 5000))
            << path << " is wider than the window: "
            << browser_.evaluate("document.documentElement.scrollWidth").dump();
    }
    EXPECT_TRUE(browser_.screenshot(screenshotPath("app-narrow")));
    expectNoPageErrors("narrow pages");
}

TEST_F(WebPages, ApplicationCreatesAnInstanceChatsAndKeepsFiles) {
    ASSERT_TRUE(browser_.open(url("/app/"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.getElementById('createModel') && !document.getElementById('createModel').hidden"))
        << browser_.error();
    ASSERT_TRUE(fill("#createModel", "kit-chat"));
    ASSERT_TRUE(fill("#createId", "webchat"));
    ASSERT_TRUE(fill("#createName", "Web chat"));
    ASSERT_TRUE(fill("#createCtx", "512"));
    ASSERT_TRUE(click("#createButton"));
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#instances tr[data-id=\"webchat\"]') && "
                                 "document.getElementById('chatTarget').textContent === 'with webchat'"))
        << browser_.error() << " " << text("#createMessage");
    const json created = bodyJson(home_->get("/mgmt-api/mivrel/webchat/properties"));
    EXPECT_EQ(created["properties"].value("modelId", ""), "kit-chat");

    // The scripted model thinks, then answers "Hello there!"; both arrive as
    // stream events and are rendered apart.
    ASSERT_TRUE(fill("#chatInput", "Hello"));
    ASSERT_TRUE(click("#chatSend"));
    ASSERT_TRUE(browser_.waitFor("(() => { const b = document.querySelector('.bubble.assistant');"
                                 " return b && !b.hasAttribute('data-streaming'); })()",
                                 60000))
        << browser_.error();
    EXPECT_EQ(text(".bubble.assistant .answer"), "Hello there!");
    EXPECT_NE(text(".bubble.assistant details .thinking").find("Thinking it over."), std::string::npos);
    EXPECT_NE(text(".bubble.assistant .usage").find("stop:"), std::string::npos) << text(".bubble.assistant .usage");
    EXPECT_EQ(text(".bubble.user"), "Hello");
    EXPECT_TRUE(browser_.screenshot(screenshotPath("app-chat")));

    // Upload a file, see it listed, delete it.
    TempDir files;
    writeTextFile(files.file("notes.txt"), "some notes for the instance");
    ASSERT_TRUE(browser_.setInputFile("#fileInput", files.file("notes.txt"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#files tbody tr[data-name]')")) << text("#filesMessage");
    const std::string name =
        browser_.evaluate("document.querySelector('#files tbody tr[data-name]').dataset.name").get<std::string>();
    const json listed = bodyJson(home_->get("/v1/mivrel/webchat/files"));
    ASSERT_EQ(listed["files"].size(), 1u) << listed.dump();
    EXPECT_EQ(listed["files"][0]["name"], name);
    EXPECT_EQ(home_->get("/v1/mivrel/webchat/files/" + name).body, "some notes for the instance");
    EXPECT_TRUE(browser_.screenshot(screenshotPath("app-files")));

    ASSERT_TRUE(click("#files tbody tr[data-name] button"));
    ASSERT_TRUE(browser_.waitFor("!document.querySelector('#files tbody tr[data-name]') && "
                                 "document.getElementById('filesMessage').textContent.includes('Deleted')"))
        << text("#filesMessage");
    EXPECT_TRUE(bodyJson(home_->get("/v1/mivrel/webchat/files"))["files"].empty());
    expectNoPageErrors("/app/");
}

TEST_F(WebPages, AdministrationShowsInstancesAndRegistersModels) {
    ASSERT_TRUE(browser_.open(url("/admin/"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#instanceTable tr[data-id=\"hello\"]')")) << browser_.error();
    EXPECT_TRUE(browser_.waitFor("document.getElementById('serviceFacts').textContent.includes('on')"));
    EXPECT_TRUE(browser_.waitFor("document.querySelector('#runtimeTable tbody tr')"));
    EXPECT_NE(text("#runtimeTable").find("BRISVANE_EXPORT"), std::string::npos);

    // An instance's settings open in place.
    ASSERT_TRUE(click("#instanceTable tr[data-id=\"hello\"] button[aria-label=\"Properties hello\"]"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('instancePropertiesText').value.includes('kit-chat')"))
        << text("#instancePropertiesMessage");

    ASSERT_TRUE(browser_.waitFor("document.querySelector('#modelTable tr[data-id=\"kit-chat\"]')"));
    ASSERT_TRUE(fill("#regId", "disk-model"));
    ASSERT_TRUE(fill("#regName", "Model from disk"));
    ASSERT_TRUE(fill("#regPath", testModelsDir()));
    ASSERT_TRUE(fill("#regFile", testmodels::kTinyChatFile));
    ASSERT_TRUE(click("#regButton"));
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#modelTable tr[data-id=\"disk-model\"]')"))
        << text("#registerMessage");
    EXPECT_NE(text("#modelTable tr[data-id=\"disk-model\"]").find("Model from disk"), std::string::npos);
    EXPECT_TRUE(browser_.screenshot(screenshotPath("admin-models")));
    expectNoPageErrors("/admin/");
}

// The web service's approval URL becomes a link only when it is an http or
// https address; the web service's answer is played by the page's own fetch.
TEST_F(WebPages, AdministrationLinksOnlyWebApprovalUrls) {
    ASSERT_TRUE(browser_.open(url("/admin/"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.getElementById('serviceFacts').textContent.includes('on')"));
    ASSERT_EQ(browser_.evaluate(R"((() => {
        const real = window.fetch;
        window.fetch = (path, init) => path !== '/mgmt-api/cli/up' ? real(path, init) :
          Promise.resolve(new Response(JSON.stringify({error: {code: 'pending_approval', message: window.round,
            auth: {type: 'web', url: window.approval}}}), {status: 403, headers: {'Content-Type': 'application/json'}}));
        return true; })())"),
              json(true));
    const struct {
        const char* url;
        const char* href;  // "" when no link may be made
    } cases[] = {
        {"javascript:alert(document.cookie)", ""},
        {" JavaScript:alert(1)", ""},
        {"\x01javascript:alert(1)", ""},
        {"data:text/html,<script>alert(1)</script>", ""},
        {"file:///etc/passwd", ""},
        {"https://approve.example/device?code=1", "https://approve.example/device?code=1"},
        {"http://approve.example/", "http://approve.example/"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string marker = "Round " + std::to_string(++round) + ".";
        browser_.evaluate("window.round = " + json(marker).dump() + "; window.approval = JSON.parse(" +
                          json(json(c.url).dump()).dump() + "); document.getElementById('serviceOn').disabled = false;"
                          " document.getElementById('serviceOn').click(); true");
        ASSERT_TRUE(browser_.waitFor("document.getElementById('serviceMessage').textContent.includes(" +
                                     json(marker).dump() + ")"))
            << text("#serviceMessage");
        const json href = browser_.evaluate("(document.querySelector('#serviceMessage a') || {}).href || ''");
        EXPECT_EQ(href, c.href);
    }
    expectNoPageErrors("/admin/");
}

TEST_F(WebPages, StatusPageShowsLiveFigures) {
    ASSERT_TRUE(browser_.open(url("/runtime_status.html"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#instanceTable tr[data-id=\"hello\"]')")) << browser_.error();
    EXPECT_NE(text("#serverFacts").find("1.0.23"), std::string::npos);
    EXPECT_TRUE(browser_.waitFor("document.getElementById('memFigure').textContent.includes('%')"));
    // The processor load needs a second sample; the page refreshes itself.
    EXPECT_TRUE(browser_.waitFor("document.getElementById('cpuFigure').textContent.includes('%')", 15000));
    EXPECT_TRUE(browser_.waitFor("document.querySelector('#memChart polyline')", 15000));
    EXPECT_TRUE(browser_.screenshot(screenshotPath("runtime-status-live")));
    expectNoPageErrors("/runtime_status.html");
}

// With the inference service off the pages still load and say how to switch
// it on; chat answers with that same hint in place.
TEST(WebPagesServiceOff, PagesSayHowToSwitchItOn) {
    InstanceHome home;
    home.addModel("kit-chat", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addInstance("hello", "kit-chat");
    home.setRuntimeProperties("APP_ID=web-test\nBRISVANE_EXPORT=false\n");
    linkWebapp(home);
    ASSERT_TRUE(home.start());
    BrowserSession browser;
    ASSERT_TRUE(browser.start()) << browser.error();
    const std::string base = "http://127.0.0.1:" + std::to_string(home.port());
    ASSERT_TRUE(browser.open(base + "/app/")) << browser.error();
    EXPECT_TRUE(browser.waitFor("document.getElementById('service').textContent.includes('brisvane up')"));
    ASSERT_TRUE(browser.waitFor("document.querySelector('#instances tr[data-id=\"hello\"] button[data-action=chat]')"));
    browser.evaluate("document.querySelector('#instances tr[data-id=\"hello\"] button[data-action=chat]').click()");
    browser.evaluate("document.getElementById('chatInput').value = 'Hello'; document.getElementById('chatSend').click()");
    EXPECT_TRUE(browser.waitFor("document.getElementById('chatMessage').textContent.includes('inference service is off')"))
        << browser.error();
    EXPECT_TRUE(browser.screenshot(screenshotPath("app-service-off")));
    for (const PageError& e : browser.takeErrors()) {
        // The refused chat and file requests (503) are expected here.
        if (e.source == "network" && e.url.find("/v1/") != std::string::npos) continue;
        ADD_FAILURE() << e.source << " error: " << e.text << " " << e.url;
    }
}

// A server that keeps /v1 from local clients (LOCAL_V1_ACCESS false, the
// configuration's default) answers the page's chat with 403: the page names
// the setting to change.
TEST(WebPagesLocalAccessOff, ChatSaysWhichSettingOpensTheInferenceApi) {
    InstanceHome home;
    home.addModel("kit-chat", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addInstance("hello", "kit-chat");
    writeServerConf(home.dir().path(), testServerConf(home.port()));
    linkWebapp(home);
    ASSERT_TRUE(home.start());
    BrowserSession browser;
    ASSERT_TRUE(browser.start()) << browser.error();
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(home.port()) + "/app/")) << browser.error();
    ASSERT_TRUE(browser.waitFor("document.querySelector('#instances tr[data-id=\"hello\"] button[data-action=chat]')"));
    browser.evaluate("document.querySelector('#instances tr[data-id=\"hello\"] button[data-action=chat]').click()");
    browser.evaluate("document.getElementById('chatInput').value = 'Hello'; document.getElementById('chatSend').click()");
    EXPECT_TRUE(browser.waitFor("document.getElementById('chatMessage').textContent.includes("
                                "'set LOCAL_V1_ACCESS=true in conf/serv.conf')"))
        << browser.evaluate("document.getElementById('chatMessage').textContent").dump();
    EXPECT_TRUE(browser.waitFor("document.getElementById('filesMessage').textContent.includes('LOCAL_V1_ACCESS')"));
    EXPECT_TRUE(browser.screenshot(screenshotPath("app-v1-closed")));
    for (const PageError& e : browser.takeErrors()) {
        // The refused chat and file requests (403) are what this test shows.
        if (e.source == "network" && e.url.find("/v1/") != std::string::npos) continue;
        ADD_FAILURE() << e.source << " error: " << e.text << " " << e.url;
    }
}

}  // namespace
