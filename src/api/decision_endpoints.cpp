#include "api/decision_endpoints.h"

#include <set>
#include <stdexcept>

#include "api/decision_scorer.h"
#include "api/family_gate.h"
#include "api/init_events.h"
#include "api/instance_reply.h"
#include "api/message_content.h"
#include "api/request_release.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "engine/mivrel.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_exception.h"
#include "mgmt/service_context.h"
#include "net/router.h"

using ojson = nlohmann::ordered_json;

namespace {

constexpr unsigned kMaxChoices = 255;
constexpr unsigned kMaxLabelChoices = 26;
constexpr size_t kMaxQuestions = 64;
constexpr const char* kDefaultInstruction = "Choose the option that best fits the query.";

ojson parseOrderedBody(const Request& request) {
    return parseOrderedJson(std::string_view(reinterpret_cast<const char*>(request.body.data()), request.body.size()),
                            JsonComments::Ignored);
}

// The request's query or state as the scorers take it: text content (file
// documents, text blocks) becomes one string, anything else stays as sent.
// Throws FileBlockError.
ojson resolveInput(Mivrel& mivrel, const Request& request, const ojson& value) {
    const nlohmann::json sorted = value;
    const nlohmann::json resolved = resolveTextContent(mivrel, bearerToken(request), sorted);
    if (resolved == sorted) return value;  // keeps the client's key order
    return ojson(resolved);
}

// Claims the instance and loads it silently when it has no engine. Returns
// false after answering (404 removed, 409 busy, 500 load failure).
bool claimAndLoad(RequestRelease& release, HttpRequestHandler& handler, Response& response,
                  const std::shared_ptr<Mivrel>& mivrel, const std::string& id, const char* endpoint) {
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun, &result);
    if (!claim) {
        if (result == ClaimResult::kRemoved) {
            sendMivrelNotFound(handler, response, id);
        } else {
            sendJsonError(handler, response, 409, "mivrel_inferring", "Inference in progress");
        }
        return false;
    }
    release.arm(std::move(claim));
    InitLoadStep silent;
    silent.mivrelId = id;
    const InitLoadResult load = loadWithInitEvents(release.claim(), silent);
    if (load.failed) {
        logMessage(1, "[POST /v1/%s/%s] 모델 로드 실패: %s", id.c_str(), endpoint, load.error.c_str());
        release.run();
        sendJsonError(handler, response, 500, "internal_error", load.error);
        return false;
    }
    if (load.loadedNow) logMessage(4, "[POST /v1/%s/%s] 모델 로드 완료", id.c_str(), endpoint);
    mivrel->lastActiveAt.store(nowMs());
    return true;
}

// How a scoring block ended: a reply document or an error to answer. The
// claim is released between the block (which destroys the scorer) and the
// reply.
struct Outcome {
    int status = 200;
    std::string code;
    std::string message;
    ojson reply;

    void fail(int s, const char* c, const std::string& m) {
        status = s;
        code = c;
        message = m;
    }
};

void answer(HttpRequestHandler& handler, Response& response, RequestRelease& release, const Outcome& outcome) {
    release.run();
    if (outcome.status != 200) return sendJsonError(handler, response, outcome.status, outcome.code, outcome.message);
    sendJsonDocument(handler, response, 200, outcome.reply);
}

// An engine failure while scoring: a stop request's end is 409
// "mivrel_stopped", a prompt beyond the context the client's mistake (400),
// anything else 500 "internal_error".
void failScoring(Outcome& outcome, const Mivrel& mivrel, const MivrelException& e, const std::string& id,
                 const char* endpoint) {
    if (stoppedByRequest(mivrel, e)) {
        logMessage(4, "[POST /v1/%s/%s] 판정 중 중지됨", id.c_str(), endpoint);
        return outcome.fail(409, "mivrel_stopped", "inference stopped");
    }
    logMessage(1, "[POST /v1/%s/%s] 판정 실패: %s", id.c_str(), endpoint, e.what());
    if (e.code == MivrelErrorCode::LimitExceeded) return outcome.fail(400, "bad_request", e.what());
    outcome.fail(500, "internal_error", e.what());
}

// Refuses (400, after releasing the instance) a request whose text cannot fit
// the loaded context, by its size alone and before anything is tokenized.
bool refuseBeyondContext(HttpRequestHandler& handler, Response& response, RequestRelease& release, Mivrel& mivrel,
                         const char* field, const ojson& input) {
    if (!mivrel.engine) return false;
    const std::string tooLong = inputBeyondContext(*mivrel.engine, field, textBytesOf(input));
    if (tooLong.empty()) return false;
    release.run();
    sendJsonError(handler, response, 400, "bad_request", tooLong);
    return true;
}

// Choice request fields after validation.
struct ChoiceRequest {
    ojson query;
    std::string instruction = kDefaultInstruction;
    std::vector<std::string> choices;
    double temperature = 0.0;
    bool debias = false;
};

// The first client error of a choice body, or "" when it is sound.
std::string checkChoiceBody(const nlohmann::json& body, ChoiceRequest& out) {
    if (!body.is_object()) return "\"query\" is required";
    auto query = body.find("query");
    if (query == body.end() || query->is_null()) return "\"query\" is required";
    out.query = ojson(*query);
    auto instruction = body.find("instruction");
    if (instruction != body.end() && !instruction->is_null()) {
        if (!instruction->is_string()) return "\"instruction\" must be a string";
        if (!instruction->get_ref<const std::string&>().empty()) out.instruction = instruction->get<std::string>();
    }
    auto choices = body.find("choices");
    if (choices == body.end() || !choices->is_array()) return "\"choices\" must be an array of strings";
    std::set<std::string> seen;
    for (const nlohmann::json& c : *choices) {
        if (!c.is_string() || c.get_ref<const std::string&>().empty()) return "\"choices\" must contain non-empty strings";
        const std::string& text = c.get_ref<const std::string&>();
        if (!seen.insert(text).second) return "duplicate choice: " + text;
        out.choices.push_back(text);
    }
    if (out.choices.size() < 2 || out.choices.size() > kMaxChoices) {
        return "\"choices\" must have 2 to " + std::to_string(kMaxChoices) + " items";
    }
    auto temperature = body.find("temperature");
    if (temperature != body.end() && !temperature->is_null()) {
        if (!temperature->is_number() || !(temperature->get<double>() > 0.0)) {
            return "\"temperature\" must be a number > 0";
        }
        out.temperature = temperature->get<double>();
    }
    auto debias = body.find("debias");
    if (debias != body.end() && !debias->is_null()) {
        if (!debias->is_boolean()) return "\"debias\" must be a boolean";
        out.debias = debias->get<bool>();
    }
    return "";
}

void scoreChoice(DecisionScorer& scorer, const ChoiceRequest& req, const ojson& input, const Mivrel& mivrel,
                 const std::string& id, Outcome& outcome) {
    DecisionQuestion question;
    question.name = "choice";
    question.type = kDecisionChoice;
    question.instructions = req.instruction;
    for (const std::string& c : req.choices) question.options.emplace_back(c, nullptr);

    const int64_t start = nowMs();
    DecisionScore score;
    try {
        score = scorer.scoreQuestion(input, question, req.temperature, req.debias, "POST /v1/choice");
    } catch (const std::invalid_argument& e) {
        return outcome.fail(400, "bad_request", e.what());
    } catch (const MivrelException& e) {
        return failScoring(outcome, mivrel, e, id, "choice");
    }
    const size_t best = decisionBestIndex(score.probabilities);
    const std::string method = scorer.methodLabel();
    ojson& reply = outcome.reply;
    reply["mivrelId"] = id;
    reply["method"] = method;
    reply["best_choice"] = req.choices[best];
    reply["confidence"] = score.probabilities[best];
    ojson probabilities = ojson::object();
    for (size_t i = 0; i < req.choices.size(); ++i) probabilities[req.choices[i]] = score.probabilities[i];
    reply["probabilities"] = probabilities;
    if (scorer.isDecision) reply["truncated"] = score.truncated;
    reply["usage"] = ojson{{"input_tokens", score.inputTokens}, {"elapsed_ms", nowMs() - start},
                           {"passes", score.passes}};
    logMessage(4, "[POST /v1/%s/choice] method=%s best=%s confidence=%.4f T=%.4f passes=%d", id.c_str(),
               method.c_str(), req.choices[best].c_str(), score.probabilities[best], score.temperature,
               score.passes);
}

void scoreSystemOne(DecisionScorer& scorer, const std::vector<DecisionQuestion>& questions, const ojson& input,
                    const Mivrel& mivrel, const std::string& id, Outcome& outcome) {
    const int64_t start = nowMs();
    int64_t inputTokens = 0;
    ojson answers = ojson::object();
    for (const DecisionQuestion& question : questions) {
        try {
            const DecisionScore score = scorer.scoreQuestion(input, question, 0.0, false, "POST /v1/systemone");
            inputTokens += score.inputTokens;
            ojson result = decisionResultJson(question, score);
            if (scorer.isDecision) result["truncated"] = score.truncated;
            logMessage(4, "[POST /v1/%s/systemone] question=%s type=%s T=%.4f %s", id.c_str(), question.name.c_str(),
                       decisionTypeName(question.type).c_str(), score.temperature, result.dump().c_str());
            answers[question.name] = std::move(result);
        } catch (const std::invalid_argument& e) {
            return outcome.fail(400, "bad_request", e.what());
        } catch (const MivrelException& e) {
            return failScoring(outcome, mivrel, e, id, "systemone");
        }
    }
    ojson& reply = outcome.reply;
    const std::string& modelName = mivrel.config.modelName;
    reply["model"] = modelName.empty() ? id : modelName;
    reply["mivrelId"] = id;
    reply["method"] = scorer.methodLabel();
    reply["answers"] = std::move(answers);
    reply["usage"] = ojson{{"input_tokens", inputTokens}, {"output_tokens", 0}, {"elapsed_ms", nowMs() - start}};
}

}  // namespace

void handleChoice(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response, const std::string& id) {
    const std::string rawBody(request.body.begin(), request.body.end());
    logMessage(9, "[POST /v1/%s/choice] 웹 요청 body:", id.c_str());
    logMessage(7, "%s", rawBody.c_str());

    nlohmann::json body;
    try {
        body = parseBodyAllowingComments(request);
    } catch (const nlohmann::json::parse_error& e) {
        return sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
    }
    ChoiceRequest req;
    const std::string invalid = checkChoiceBody(body, req);
    if (!invalid.empty()) return sendJsonError(handler, response, 400, "bad_request", invalid);

    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM", "DECISION"}, "choice")) return;
    ojson input;
    try {
        input = resolveInput(*mivrel, request, req.query);
    } catch (const FileBlockError& e) {
        return sendJsonError(handler, response, e.status, e.code, e.message);
    }
    if (!mivrel->isDecision() && req.choices.size() > kMaxLabelChoices) {
        return sendJsonError(handler, response, 400, "bad_request",
                             "\"choices\" must have 2 to " + std::to_string(kMaxLabelChoices) + " items");
    }

    RequestRelease release;
    if (!claimAndLoad(release, handler, response, mivrel, id, "choice")) return;
    if (refuseBeyondContext(handler, response, release, *mivrel, "query", input)) return;

    Outcome outcome;
    {
        DecisionScorer scorer;
        const std::string notReady = prepareDecisionScorerOrError(scorer, *mivrel);
        if (!notReady.empty()) {
            outcome.fail(500, "internal_error", notReady);
        } else {
            scoreChoice(scorer, req, input, *mivrel, id, outcome);
        }
    }
    answer(handler, response, release, outcome);
}

void handleSystemOne(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id) {
    const std::string rawBody(request.body.begin(), request.body.end());
    logMessage(9, "[POST /v1/%s/systemone] 웹 요청 body:", id.c_str());
    logMessage(7, "%s", rawBody.c_str());

    ojson body;
    try {
        body = parseOrderedBody(request);
    } catch (const nlohmann::json::parse_error& e) {
        return sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
    }
    if (!body.is_object()) return sendJsonError(handler, response, 400, "bad_request", "Request body must be a JSON object");
    auto state = body.find("state");
    if (state == body.end() || state->is_null()) {
        return sendJsonError(handler, response, 400, "bad_request", "\"state\" must be provided");
    }
    auto images = body.find("images");
    auto assets = body.find("assets");
    if ((images != body.end() && !images->is_null()) || (assets != body.end() && !assets->is_null())) {
        return sendJsonError(handler, response, 400, "bad_request",
                             "image input is not supported yet (\"images\" / \"assets\")");
    }

    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM", "DECISION"}, "systemone")) return;
    const bool decision = mivrel->isDecision();
    std::vector<DecisionQuestion> questions;
    try {
        questions = validateDecisionRequest(body, decision ? kMaxChoices : kMaxLabelChoices);
    } catch (const std::invalid_argument& e) {
        return sendJsonError(handler, response, 400, "bad_request", e.what());
    }
    if (questions.size() > kMaxQuestions) {
        return sendJsonError(handler, response, 400, "bad_request",
                             "too many questions (" + std::to_string(questions.size()) + "), the maximum is " +
                                 std::to_string(kMaxQuestions));
    }
    ojson input;
    try {
        input = resolveInput(*mivrel, request, *state);
    } catch (const FileBlockError& e) {
        return sendJsonError(handler, response, e.status, e.code, e.message);
    }

    RequestRelease release;
    if (!claimAndLoad(release, handler, response, mivrel, id, "systemone")) return;
    if (refuseBeyondContext(handler, response, release, *mivrel, "state", input)) return;

    Outcome outcome;
    {
        DecisionScorer scorer;
        const std::string notReady = prepareDecisionScorerOrError(scorer, *mivrel);
        if (!notReady.empty()) {
            outcome.fail(500, "internal_error", notReady);
        } else {
            scoreSystemOne(scorer, questions, input, *mivrel, id, outcome);
        }
    }
    answer(handler, response, release, outcome);
}

void installDecisionRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.choice = bindServices(services, handleChoice);
    routes.systemOne = bindServices(services, handleSystemOne);
}
