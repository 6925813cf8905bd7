// The newcomer's road through the pages, in headless Chromium against the
// real brisvanesrv on a fresh home whose maker's web service cannot be
// reached: register a kit model from disk with its assembler, switch the
// inference service on without registration, create an instance, chat two
// turns, reload and chat on, start a new conversation and chat. The chat
// requests carry only the new message (the instance keeps the conversation in
// its context), so the prompts the server renders hold every turn once; no
// request meets a 409 and no page reports an error. Screenshots go to
// <build>/screenshots/newcomer-*.png.
#include <gtest/gtest.h>

#include <filesystem>

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

// Wraps the page's fetch: every /v1 reply status is kept in window.__v1, and
// every chat request in window.__chat with its body as the page sent it and
// the event stream the server answered. The request also asks for the
// rendered prompt ("debug_prompt"), which the page itself never shows.
const char kChatSpy[] = R"((() => {
  window.__v1 = [];
  window.__chat = [];
  const real = window.fetch;
  window.fetch = async (path, init) => {
    const chat = typeof path === 'string' && /^\/v1\/mivrel\/[^/]+\/messages$/.test(path);
    let record = null;
    if (chat) {
      record = {body: JSON.parse(init.body), status: 0, stream: '', done: false};
      window.__chat.push(record);
      const sent = JSON.parse(init.body);
      sent.options = Object.assign({}, sent.options, {debug_prompt: true});
      init = Object.assign({}, init, {body: JSON.stringify(sent)});
    }
    const response = await real(path, init);
    if (typeof path === 'string' && path.startsWith('/v1/')) window.__v1.push(response.status);
    if (!record) return response;
    record.status = response.status;
    const [mine, theirs] = response.body.tee();
    (async () => {
      const reader = mine.getReader();
      const decoder = new TextDecoder();
      for (;;) {
        const {value, done} = await reader.read();
        if (done) break;
        record.stream += decoder.decode(value, {stream: true});
      }
      record.done = true;
    })();
    return new Response(theirs, {status: response.status, statusText: response.statusText, headers: response.headers});
  };
  // The prompt the server rendered for chat request k, from its completed message.
  window.__prompt = (k) => {
    for (const frame of window.__chat[k].stream.split('\n\n')) {
      if (!frame.includes('event: message.completed')) continue;
      const line = frame.split('\n').find((l) => l.startsWith('data:'));
      return JSON.parse(line.slice(5)).message.input_raw_prompt;
    }
    return null;
  };
  return true;
})())";

struct ChatTurn {
    json body;            // what the page sent
    std::string prompt;   // what the server rendered and decoded
    std::string answer;   // the reply bubble's answer
};

class WebNewcomer : public ::testing::Test {
protected:
    void SetUp() override {
        // A fresh home: no models, no instances, no runtime properties.
        fs::remove(home_.dir().file("work/.runtime.properties"));
        // The user's own model folders, outside the models directory: the
        // registration writes properties.json beside the file.
        for (const auto& [folder, kitFile] : {std::pair<std::string, std::string>{"kit", testmodels::kScriptedChatFile},
                                              {"bare", testmodels::kTinyChatFile}}) {
            fs::create_directories(modelFolder(folder));
            fs::create_symlink(testModelPath(kitFile), modelFolder(folder) + "/" + kitFile);
        }
        fs::create_directory_symlink(fs::path(builtProgramsDir()) / "webapp", home_.dir().file("webapp"));
        // The maker's web service is a closed loopback port: registration fails.
        ASSERT_TRUE(home_.start({{"BRISVANE_WEB_API", "https://127.0.0.1:" + std::to_string(freeLoopbackPort())}}));
        ASSERT_TRUE(browser_.start()) << browser_.error() << "\n" << browser_.browserLog();
    }

    std::string modelFolder(const std::string& name) const { return home_.dir().file("user-models/" + name); }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(home_.port()) + path;
    }

    std::string text(const std::string& selector) {
        const json value = browser_.evaluate("(document.querySelector(" + json(selector).dump() +
                                             ") || {textContent: ''}).textContent");
        return value.is_string() ? value.get<std::string>() : std::string();
    }

    bool click(const std::string& selector) {
        const json done = browser_.evaluate("(() => { const e = document.querySelector(" + json(selector).dump() +
                                            "); if (!e) return false; e.click(); return true; })()");
        return done == json(true);
    }

    bool fill(const std::string& selector, const std::string& value) {
        const json done = browser_.evaluate(
            "(() => { const e = document.querySelector(" + json(selector).dump() + "); if (!e) return false; e.value = " +
            json(value).dump() + "; e.dispatchEvent(new Event('change', {bubbles: true})); return true; })()");
        return done == json(true);
    }

    // Sends `message` from the application's chat and waits for the reply.
    ChatTurn chat(const std::string& message) {
        ChatTurn turn;
        const int before = browser_.evaluate("window.__chat.length").get<int>();
        const int bubbles = browser_.evaluate("document.querySelectorAll('.bubble.assistant').length").get<int>();
        EXPECT_TRUE(fill("#chatInput", message));
        EXPECT_TRUE(click("#chatSend"));
        const std::string k = std::to_string(before);
        const std::string last = "document.querySelectorAll('.bubble.assistant')[" + std::to_string(bubbles) + "]";
        if (!browser_.waitFor("window.__chat.length > " + k + " && window.__chat[" + k + "].done && " + last +
                                  " && !" + last + ".hasAttribute('data-streaming')",
                              60000)) {
            ADD_FAILURE() << message << ": no reply. " << text("#chatMessage") << " " << browser_.error();
            return turn;
        }
        turn.body = browser_.evaluate("window.__chat[" + k + "].body");
        const json prompt = browser_.evaluate("window.__prompt(" + k + ")");
        if (prompt.is_string()) turn.prompt = prompt.get<std::string>();
        turn.answer = browser_.evaluate(last + ".querySelector('.answer').textContent").get<std::string>();
        EXPECT_EQ(browser_.evaluate("window.__chat[" + k + "].status"), 200) << message;
        return turn;
    }

    // Every /v1 reply of the page so far was not a 409.
    void expectNo409(const std::string& phase) {
        const json statuses = browser_.evaluate("window.__v1");
        ASSERT_TRUE(statuses.is_array()) << phase;
        for (const json& status : statuses) EXPECT_NE(status, 409) << phase << ": " << statuses.dump();
    }

    void expectNoPageErrors(const std::string& phase) {
        for (const PageError& e : browser_.takeErrors()) {
            // Registration with the unreachable web service fails by design
            // (the page offers the way round), and reading a properties.json
            // that does not exist answers 500 (the page says "none yet").
            if (e.source == "network" && (e.url.find("/mgmt-api/cli/up") != std::string::npos ||
                                          e.url.find("/mgmt-api/models/bare/properties") != std::string::npos)) {
                continue;
            }
            ADD_FAILURE() << phase << ": " << e.source << " error: " << e.text << " " << e.url;
        }
    }

    InstanceHome home_;
    BrowserSession browser_;
};

size_t occurrences(const std::string& text, const std::string& word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

TEST_F(WebNewcomer, FromRegistrationToASecondConversation) {
    // Administration: register the kit's scripted model from disk, with its
    // family type and assembler.
    ASSERT_TRUE(browser_.open(url("/admin/"))) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#regAssembler option[value=\"qwen3\"]') && "
                                 "document.querySelector('#regFamily option[value=\"LLM\"]') && "
                                 "document.getElementById('serviceFacts').textContent.includes('off')"))
        << browser_.error();
    EXPECT_NE(text("#regAssemblerHelp").find("thinking"), std::string::npos) << "each choice says what it is";
    ASSERT_TRUE(fill("#regId", "kit-chat"));
    ASSERT_TRUE(fill("#regName", "Kit chat"));
    ASSERT_TRUE(fill("#regPath", modelFolder("kit")));
    ASSERT_TRUE(fill("#regFile", testmodels::kScriptedChatFile));
    ASSERT_TRUE(fill("#regFamily", "LLM"));
    ASSERT_TRUE(fill("#regAssembler", "qwen3"));
    ASSERT_TRUE(click("#regButton"));
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#modelTable tr[data-id=\"kit-chat\"]') && "
                                 "document.getElementById('registerMessage').textContent.includes('assembler qwen3')"))
        << text("#registerMessage");
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/models/kit-chat/properties"))["properties"],
              json({{"assembler", "qwen3"}, {"familyType", "LLM"}}));

    // A model registered without properties shows "no properties yet" and
    // the keys it may have, not a failure.
    ASSERT_EQ(home_.post("/mgmt-api/models/registerLocal",
                         json({{"modelId", "bare"}, {"name", "Bare"}, {"storagePath", modelFolder("bare")},
                               {"filename", testmodels::kTinyChatFile}})
                             .dump())
                  .status,
              200);
    ASSERT_TRUE(click("#modelsRefresh"));
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#modelTable tr[data-id=\"bare\"] button')"));
    ASSERT_TRUE(click("#modelTable tr[data-id=\"bare\"] button[aria-label=\"Properties bare\"]"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('modelPropertiesMessage').textContent.includes('No properties yet')"))
        << text("#modelPropertiesMessage");
    EXPECT_NE(text("#modelPropertiesMessage").find("\"assembler\""), std::string::npos);
    EXPECT_EQ(browser_.evaluate("!!document.querySelector('#modelPropertiesMessage .msg.error')"), false);
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-registered")));

    // Switching on fails without the maker's web service; the page offers
    // the way round, which switches the service on for this machine.
    ASSERT_TRUE(click("#serviceOn"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('serviceOnLocalOffer')", 60000)) << text("#serviceMessage");
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-switch-on-failed")));
    ASSERT_TRUE(click("#serviceOnLocalOffer"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('serviceMessage').textContent.includes('is on')"))
        << text("#serviceMessage");
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/runtime_properties"))["properties"].value("BRISVANE_EXPORT", ""), "true");
    expectNoPageErrors("/admin/");

    // Application: an instance on the model, then two turns.
    ASSERT_TRUE(browser_.open(url("/app/"))) << browser_.error();
    ASSERT_EQ(browser_.evaluate(kChatSpy), json(true)) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#createModel option[value=\"kit-chat\"]')"));
    ASSERT_TRUE(fill("#createModel", "kit-chat"));
    ASSERT_TRUE(fill("#createId", "newcomer"));
    ASSERT_TRUE(click("#createButton"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('chatTarget').textContent === 'with newcomer'"))
        << text("#createMessage");

    const ChatTurn first = chat("apple");
    const ChatTurn second = chat("berry");
    for (const ChatTurn* turn : {&first, &second}) {
        EXPECT_EQ(turn->answer, "Hello there!") << turn->body.dump();
        ASSERT_EQ(turn->body["messages"].size(), 1u) << "only the new message: " << turn->body.dump();
    }
    EXPECT_EQ(first.body["messages"][0]["content"], "apple");
    EXPECT_EQ(second.body["messages"][0]["content"], "berry");
    EXPECT_EQ(second.body["conversationId"], first.body["conversationId"]);
    // The second prompt continues the first: the first turn is in the
    // instance's context already, so it is not rendered again.
    EXPECT_EQ(occurrences(first.prompt, "apple"), 1u) << first.prompt;
    EXPECT_EQ(occurrences(second.prompt, "apple"), 0u) << second.prompt;
    EXPECT_EQ(occurrences(second.prompt, "berry"), 1u) << second.prompt;
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-two-turns")));
    expectNo409("two turns");
    expectNoPageErrors("/app/ two turns");

    // A reload continues the instance's own conversation.
    ASSERT_TRUE(browser_.open(url("/app/"))) << browser_.error();
    ASSERT_EQ(browser_.evaluate(kChatSpy), json(true)) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#instances tr[data-id=\"newcomer\"] button[data-action=chat]')"));
    EXPECT_EQ(text("#instances tr[data-id=\"newcomer\"] .badge"), "loaded") << "loaded apart from unloaded";
    ASSERT_TRUE(click("#instances tr[data-id=\"newcomer\"] button[data-action=chat]"));
    const ChatTurn third = chat("cherry");
    EXPECT_EQ(third.answer, "Hello there!");
    EXPECT_EQ(third.body["conversationId"], first.body["conversationId"]) << third.body.dump();
    EXPECT_FALSE(third.body["options"].contains("mivrel_reset")) << third.body.dump();
    EXPECT_EQ(occurrences(third.prompt, "apple") + occurrences(third.prompt, "berry"), 0u) << third.prompt;
    EXPECT_NE(text("#chatLog").find("Continuing the conversation"), std::string::npos);
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-after-reload")));

    // "New conversation": its first request clears the context, the next one
    // continues it.
    ASSERT_TRUE(click("#newConversation"));
    const ChatTurn fresh = chat("damson");
    const ChatTurn freshNext = chat("elder");
    EXPECT_EQ(fresh.answer, "Hello there!");
    EXPECT_EQ(freshNext.answer, "Hello there!");
    EXPECT_NE(fresh.body["conversationId"], first.body["conversationId"]);
    EXPECT_EQ(fresh.body["options"].value("mivrel_reset", false), true) << fresh.body.dump();
    EXPECT_EQ(freshNext.body["conversationId"], fresh.body["conversationId"]);
    EXPECT_FALSE(freshNext.body["options"].contains("mivrel_reset")) << freshNext.body.dump();
    const json status = bodyJson(home_.get("/v1/mivrel/newcomer/status"));
    EXPECT_EQ(status["conversationId"], fresh.body["conversationId"]);
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-new-conversation")));
    expectNo409("after reload");
    expectNoPageErrors("/app/ after reload");
}

// Another client takes the instance for its own conversation: the page's
// next message meets 409 "mivrel_occupied", says what it means in English and
// offers the ways on; "start a new conversation" sends the message again with
// a context reset, and the chat goes on.
TEST_F(WebNewcomer, AnInstanceTakenByAnotherClientLeavesAWayOn) {
    ASSERT_EQ(home_.post("/mgmt-api/models/registerLocal",
                         json({{"modelId", "kit-chat"}, {"name", "Kit chat"}, {"storagePath", modelFolder("kit")},
                               {"filename", testmodels::kScriptedChatFile}})
                             .dump())
                  .status,
              200);
    ASSERT_EQ(home_.request("PATCH", "/mgmt-api/models/kit-chat/properties", R"({"assembler": "qwen3"})").status, 200);
    ASSERT_EQ(home_.post("/mgmt-api/mivrelCreate", R"({"mivrelId": "shared", "name": "Shared", "modelId": "kit-chat"})")
                  .status,
              200);
    ASSERT_EQ(home_.request("PATCH", "/mgmt-api/runtime_properties", R"({"BRISVANE_EXPORT": true})").status, 200);

    ASSERT_TRUE(browser_.open(url("/app/"))) << browser_.error();
    ASSERT_EQ(browser_.evaluate(kChatSpy), json(true)) << browser_.error();
    ASSERT_TRUE(browser_.waitFor("document.querySelector('#instances tr[data-id=\"shared\"] button[data-action=chat]')"));
    ASSERT_TRUE(click("#instances tr[data-id=\"shared\"] button[data-action=chat]"));
    const ChatTurn mine = chat("apple");
    EXPECT_EQ(mine.answer, "Hello there!");

    const HttpReply taken = home_.post(
        "/v1/mivrel/shared/messages",
        R"({"conversationId": "someone-else", "messages": [{"role": "user", "content": "mine now"}], "options": {"mivrel_reset": true}})");
    ASSERT_EQ(taken.status, 200) << taken.body;

    ASSERT_TRUE(fill("#chatInput", "berry"));
    ASSERT_TRUE(click("#chatSend"));
    ASSERT_TRUE(browser_.waitFor("document.getElementById('chatStartNew')")) << text("#chatMessage");
    EXPECT_NE(text("#chatMessage").find("mivrel_occupied"), std::string::npos) << "the server's code stays shown";
    EXPECT_NE(text("#chatMessage").find("holds another conversation"), std::string::npos) << text("#chatMessage");
    EXPECT_EQ(browser_.evaluate("!!document.getElementById('chatContinueOther')"), true);
    EXPECT_TRUE(browser_.screenshot(screenshotPath("newcomer-occupied")));

    ASSERT_TRUE(click("#chatStartNew"));
    ASSERT_TRUE(browser_.waitFor("window.__chat.length === 3 && window.__chat[2].done && "
                                 "!document.querySelector('.bubble.assistant[data-streaming]') && "
                                 "document.querySelector('.bubble.assistant .answer')",
                                 60000))
        << text("#chatMessage");
    const json again = browser_.evaluate("window.__chat[2]");
    EXPECT_EQ(again["status"], 200);
    EXPECT_EQ(again["body"]["messages"], json::array({{{"role", "user"}, {"content", "berry"}}}));
    EXPECT_EQ(again["body"]["options"].value("mivrel_reset", false), true);
    EXPECT_NE(again["body"]["conversationId"], mine.body["conversationId"]);
    EXPECT_EQ(text(".bubble.assistant .answer"), "Hello there!");
    EXPECT_EQ(bodyJson(home_.get("/v1/mivrel/shared/status"))["conversationId"], again["body"]["conversationId"]);
    for (const PageError& e : browser_.takeErrors()) {
        // The refused message itself (409) is the point of this test.
        if (e.source == "network" && e.url.find("/v1/mivrel/shared/messages") != std::string::npos) continue;
        ADD_FAILURE() << e.source << " error: " << e.text << " " << e.url;
    }
}

}  // namespace
