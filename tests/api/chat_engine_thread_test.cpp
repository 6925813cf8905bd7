// Where a chat instance computes: the prompt decode and the generation of
// every request, streamed or whole, run on the instance's one engine thread,
// never on the connection thread and never on a thread made for the request,
// so the inference library's threads stay warm from request to request.
#include <thread>

#include "api/chat_messages.h"
#include "engine/mivrel_claim.h"
#include "instance_api_fixture.h"

namespace instance_api {
namespace {

using nlohmann::json;

std::string chatBody(bool stream) {
    return json({{"conversationId", "c"},
                 {"messages", json::array({{{"role", "user"}, {"content", "Hi"}}})},
                 {"options", {{"stream", stream}}}})
        .dump();
}

using ChatEngineThread = InstanceApiTest;

TEST_F(ChatEngineThread, EveryDecodeOfTheInstanceRunsOnItsOneThread) {
    const auto mivrel = add("one");
    const bool streams[] = {true, false, true};
    for (const bool stream : streams) {
        const Written reply = call(handleMessages, "one", chatBody(stream));
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_NE(reply.body.find(stream ? "event: message.completed" : "\"message\""), std::string::npos)
            << reply.body;
    }
    std::vector<std::thread::id> threads;
    {
        std::lock_guard<std::mutex> lock(script_->mu);
        threads = script_->computeThreads;
    }
    ASSERT_EQ(threads.size(), 2 * std::size(streams)) << "one prompt decode and one generation per request";
    for (const std::thread::id& thread : threads) {
        EXPECT_EQ(thread, threads.front()) << "the same thread from request to request";
        EXPECT_NE(thread, std::this_thread::get_id()) << "not the connection's thread";
    }

    // An unload ends the thread with the engine; the next load computes on
    // a thread of its own again, prompt and generation alike.
    EXPECT_EQ(unloadUnclaimed(mivrel, true), ClaimResult::kOk);
    ASSERT_EQ(call(handleMessages, "one", chatBody(true)).status, 200);
    std::lock_guard<std::mutex> lock(script_->mu);
    ASSERT_EQ(script_->computeThreads.size(), threads.size() + 2);
    const std::thread::id prefill = script_->computeThreads[threads.size()];
    EXPECT_EQ(script_->computeThreads.back(), prefill);
    EXPECT_NE(prefill, std::this_thread::get_id());
}

}  // namespace
}  // namespace instance_api
