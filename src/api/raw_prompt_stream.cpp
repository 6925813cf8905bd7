#include "api/raw_prompt_stream.h"

#include <vector>

#include "api/event_stream.h"
#include "api/family_gate.h"
#include "api/init_events.h"
#include "api/instance_reply.h"
#include "api/request_release.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "base/utf8.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"

namespace {

// Tokens not yet sent because their bytes do not end on a character boundary.
struct PendingGroup {
    std::vector<int32_t> ids;
    std::string bytes;
    bool hasSpecial = false;
    bool hasEog = false;

    void add(const RawToken& token) {
        ids.push_back(token.token);
        bytes += token.piece;
        hasSpecial = hasSpecial || token.isControl;
        hasEog = hasEog || token.isEog;
    }
    void clear() { *this = PendingGroup(); }
};

nlohmann::json tokenPayload(const PendingGroup& group) {
    nlohmann::json payload = nlohmann::json::object();
    payload["hasEog"] = group.hasEog;
    payload["hasSpecial"] = group.hasSpecial;
    payload["text"] = group.bytes;
    payload["tokenIds"] = group.ids;
    return payload;
}

// The data of a "token" event; `remainder` marks the group left when the
// generation ended. Bytes that are not valid UTF-8 cannot be JSON text: they
// go out as "textHex" beside an empty "text".
std::string tokenEventData(const PendingGroup& group, bool remainder, const std::string& id) {
    nlohmann::json payload = tokenPayload(group);
    if (remainder) payload["incomplete"] = true;
    if (!isValidUtf8(group.bytes)) {
        logMessage(2, "[POST /v1/%s/rawPromptStream] 미완성 UTF-8 조각(tokenIds=%zu개) — text 대신 hex로 대체", id.c_str(),
                   group.ids.size());
        payload["text"] = "";
        payload["textHex"] = toLowerHex(group.bytes);
    }
    return payload.dump();
}

// Whether the group's bytes end in a character that the next token may still
// complete, after text that is valid so far.
bool mayBecomeValid(const std::string& bytes) {
    const size_t tail = incompleteUtf8Tail(bytes);
    return tail > 0 && isValidUtf8(bytes.substr(0, bytes.size() - tail));
}

void writeEvent(HttpRequestHandler& handler, const char* event, const std::string& data) {
    handler.writeChunk(formatSseEvent(event, data));
}

}  // namespace

std::string toLowerHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 0x0F]);
    }
    return hex;
}

std::string escapeForLog(const std::string& piece) {
    if (!isValidUtf8(piece)) return "hex:" + toLowerHex(piece);
    std::string out;
    out.reserve(piece.size());
    for (const char c : piece) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

void rawPromptStream(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id) {
    const std::string rawBody(request.body.begin(), request.body.end());
    logMessage(9, "[POST /v1/%s/rawPromptStream] 웹 요청 body:", id.c_str());
    logMessage(7, "%s", rawBody.c_str());

    nlohmann::json body;
    try {
        body = parseBodyAllowingComments(request);
    } catch (const nlohmann::json::parse_error& e) {
        return sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
    }
    if (!body.is_object()) {
        return sendJsonError(handler, response, 400, "bad_request", "request body must be a JSON object");
    }
    const auto field = body.find("rawPrompt");
    if (field != body.end() && !field->is_string()) {
        return sendJsonError(handler, response, 400, "bad_request", "\"rawPrompt\" must be a string");
    }
    const std::string rawPrompt = field != body.end() ? field->get<std::string>() : std::string();
    if (rawPrompt.empty()) return sendJsonError(handler, response, 400, "bad_request", "rawPrompt is required");
    logMessage(9, "[POST /v1/%s/rawPromptStream] rawPrompt:", id.c_str());
    logMessage(7, "%s", rawPrompt.c_str());

    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM"}, "rawPromptStream")) return;

    // Claim first, then load: two first requests never load twice, and the
    // busy test and the claim are one step.
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun, &result);
    if (!claim) {
        if (result == ClaimResult::kRemoved) return sendMivrelNotFound(handler, response, id);
        return sendJsonError(handler, response, 409, "mivrel_inferring", "Inference in progress");
    }
    RequestRelease release;
    release.arm(std::move(claim));
    InitLoadStep silent;
    silent.mivrelId = id;
    const InitLoadResult load = loadWithInitEvents(release.claim(), silent);
    if (load.failed) {
        release.run();
        return sendJsonError(handler, response, 500, "internal_error", load.error);
    }
    if (load.loadedNow) logMessage(4, "[POST /v1/%s/rawPromptStream] 모델 로드 완료", id.c_str());
    mivrel->lastActiveAt.store(nowMs());

    MivrelEngine& engine = *mivrel->engine;
    const std::string tooLong = inputBeyondContext(engine, "rawPrompt", rawPrompt.size());
    if (!tooLong.empty()) {
        release.run();
        return sendJsonError(handler, response, 400, "bad_request", tooLong);
    }
    bool started = false;
    try {
        const std::vector<int32_t> tokens = engine.tokenizePrompt(rawPrompt);
        logMessage(4, "[POST /v1/%s/rawPromptStream] rawPrompt 토크나이즈 완료: %zu 토큰", id.c_str(), tokens.size());
        mivrel->openResponseId.clear();
        mivrel->openPhase.clear();
        // The decodes run on the instance's engine thread, where its chat
        // replies are decoded too (engine_thread.h).
        EngineThread& compute = mivrel->engineThread;
        compute.run([&] { engine.startGeneration(tokens); });
        engine.setTurnOpen(false);
        mivrel->recordContextInUse(engine.nPast());

        beginEventStream(handler, response);
        started = true;
        const WriteAbandonScope abandonOnStop(handler, mivrel->abortRequested);
        const int64_t t0 = nowMs();

        PendingGroup group;
        int events = 0;
        int index = 0;
        RawToken token;
        bool more = true;
        const auto next = [&] { more = engine.fetchNextRawToken(token); };
        while (!mivrel->abortRequested.load() && (compute.run(next), more)) {
            mivrel->recordContextInUse(engine.nPast());
            logMessage(8, "[rawPromptStream] tok #%d id=%d%s%s \"%s\"", index++, token.token,
                       token.isControl ? " [special]" : "", token.isEog ? " [eog]" : "",
                       escapeForLog(token.piece).c_str());
            group.add(token);
            // Held back only while later bytes can still make it text; bytes
            // that never can go out now, as hex, and the stream goes on.
            if (mayBecomeValid(group.bytes)) continue;
            writeEvent(handler, "token", tokenEventData(group, false, id));
            ++events;
            group.clear();
        }
        if (!group.ids.empty()) {
            writeEvent(handler, "token", tokenEventData(group, true, id));
            ++events;
        }
        nlohmann::json done = nlohmann::json::object();
        done["elapsed_ms"] = static_cast<int32_t>(nowMs() - t0);
        done["tokenCount"] = events;
        writeEvent(handler, "done", done.dump());
        // The instance is free before the client sees the end of the stream.
        release.run();
        sendSseDone(handler);
        logMessage(4, "[POST /v1/%s/rawPromptStream] generation end. tokens=%d", id.c_str(), events);
    } catch (const MivrelException& e) {
        const bool stopped = stoppedByRequest(*mivrel, e);
        release.run();
        if (!started && stopped) {
            // A stop during tokenizing ends the stream as a stop between two
            // tokens does: a "done" event after no tokens.
            logMessage(4, "[POST /v1/%s/rawPromptStream] 토크나이즈 중 중지됨", id.c_str());
            beginEventStream(handler, response);
            writeEvent(handler, "done", R"({"elapsed_ms":0,"tokenCount":0})");
            sendSseDone(handler);
            return;
        }
        logMessage(1, "[POST /v1/%s/rawPromptStream] MivrelException: %s", id.c_str(), e.what());
        if (!started) return sendJsonError(handler, response, 500, "internal_error", e.what());
        nlohmann::json error = nlohmann::json::object();
        error["message"] = e.what();
        writeEvent(handler, "error", error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        sendSseDone(handler);
    }
}
