#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/family_gate.h"
#include "api_test_support.h"
#include "base/captured_log.h"

namespace {

using Names = std::vector<std::string>;

struct GateCase {
    std::string familyType;
    Names accepted;
    std::string endpoint;
    bool refused;
};

TEST(FamilyGateTest, AcceptsAndRefusesByExactName) {
    const Names llm{"LLM"};
    const Names llmDecision{"LLM", "DECISION"};
    const Names tokenize{"LLM", "DECISION", "AUDIO"};
    const GateCase cases[] = {
        {"", llm, "messages", false},  // empty counts as LLM
        {"", {"IMAGE"}, "imageGenerate", true},
        {"LLM", llm, "reset", false},
        {"llm", llm, "messages", true},  // exact, case-sensitive
        {"llm", tokenize, "tokenize", true},
        {"DECISION", llmDecision, "choice", false},
        {"DECISION", llmDecision, "systemone", false},
        {"DECISION", tokenize, "tokenize", false},
        {"DECISION", llm, "messages", true},
        {"DECISION", llm, "switch-conversation", true},
        {"DECISION", llm, "rawPromptStream", true},
        {"AUDIO", tokenize, "tokenize", false},
        {"AUDIO", {"AUDIO"}, "speechGenerate", false},
        {"AUDIO", llmDecision, "choice", true},
        {"IMAGE", {"IMAGE"}, "imageGenerate", false},
        {"IMAGE", {"VIDEO"}, "videoGenerate", true},
        {"VIDEO", {"VIDEO"}, "videoGenerate", false},
        {"VIDEO", tokenize, "tokenize", true},
    };
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.familyType + " on " + c.endpoint);
        Mivrel mivrel;
        mivrel.config.id = "x";
        mivrel.config.familyType = c.familyType;
        CapturedReply reply;
        EXPECT_EQ(checkFamilyType(reply.handler, reply.response, &mivrel, c.accepted, c.endpoint), c.refused);
        EXPECT_EQ(reply.sent(), c.refused);
        if (c.refused) {
            EXPECT_EQ(reply.statusLine(), "HTTP/1.1 400 Bad Request");
        }
    }
}

TEST(FamilyGateTest, RefusalNamesEndpointInstanceTypeAndList) {
    Mivrel mivrel;
    mivrel.config.id = "pic1";
    mivrel.config.familyType = "IMAGE";
    CapturedReply reply;
    CapturedLog log;
    ASSERT_TRUE(checkFamilyType(reply.handler, reply.response, &mivrel, {"LLM", "DECISION", "AUDIO"}, "tokenize"));
    EXPECT_EQ(reply.body(),
              "{\"error\":{\"code\":\"unsupported_mivrel_type\",\"httpStatus\":400,\"message\":\"tokenize is not "
              "supported by Mivrel 'pic1' (familyType=IMAGE, supported: LLM/DECISION/AUDIO)\"}}");
    EXPECT_NE(reply.out.written.find("Content-Type: application/json"), std::string::npos);
    EXPECT_TRUE(log.contains("[tokenize] familyType=IMAGE Mivrel 거절: pic1"));
}

TEST(FamilyGateTest, EmptyFamilyTypeIsReportedAsLlm) {
    Mivrel mivrel;
    mivrel.config.id = "chat";
    mivrel.config.familyType = "";
    CapturedReply reply;
    CapturedLog log;
    ASSERT_TRUE(checkFamilyType(reply.handler, reply.response, &mivrel, {"IMAGE"}, "imageGenerate"));
    EXPECT_EQ(reply.json()["error"]["message"],
              "imageGenerate is not supported by Mivrel 'chat' (familyType=LLM, supported: IMAGE)");
    EXPECT_TRUE(log.contains("[imageGenerate] familyType=LLM Mivrel 거절: chat"));
}

TEST(FamilyGateTest, NullInstanceSendsNothing) {
    CapturedReply reply;
    EXPECT_FALSE(checkFamilyType(reply.handler, reply.response, nullptr, {"LLM"}, "messages"));
    EXPECT_FALSE(reply.sent());
}

}  // namespace
