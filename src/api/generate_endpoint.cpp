#include "api/generate_endpoint.h"

#include "api/event_stream.h"
#include "api/family_gate.h"
#include "api/file_references.h"
#include "api/files_api.h"
#include "api/generation_payload.h"
#include "api/init_events.h"
#include "api/instance_reply.h"
#include "api/request_release.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "engine/generation_input.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_exception.h"
#include "engine/model_capabilities.h"
#include "mgmt/service_context.h"
#include "net/http_response.h"
#include "net/router.h"
#include "speech/speech_request.h"
#include "storage/file_store.h"

namespace {

constexpr auto kReplace = nlohmann::json::error_handler_t::replace;

// The error sender of one request: an event and the closing chunk once the
// event-stream head is out, else a JSON error reply.
struct GenerationReply {
    HttpRequestHandler& handler;
    Response& response;
    const std::string& id;
    bool streaming = false;  // the event-stream head has been written

    void writeEvent(const std::string& name, const nlohmann::ordered_json& payload) {
        handler.writeChunk(formatSseEvent(name, payload.dump(-1, ' ', false, kReplace)));
    }

    void sendError(int status, const std::string& code, const std::string& message) {
        if (!streaming) return sendJsonError(handler, response, status, code, message);
        nlohmann::ordered_json payload = nlohmann::ordered_json::object();
        payload["mivrelId"] = id;
        payload["code"] = code;
        payload["message"] = message;
        writeEvent("generation.error", payload);
        handler.endChunked();
    }
};

// Reads `key` of the request body: absent or null is false.
bool streamFlag(const nlohmann::json& body, bool& stream) {
    stream = false;
    if (!body.is_object()) return true;
    const auto it = body.find("stream");
    if (it == body.end() || it->is_null()) return true;
    if (!it->is_boolean()) return false;
    stream = it->get<bool>();
    return true;
}

bool acceptsReferences(const Mivrel& mivrel) {
    try {
        return supportsRefImages(mivrel.config.loadSettings.modelProperties, mivrel.config.loadSettings.params);
    } catch (const std::exception&) {
        return false;  // a "supportsRefImages" that is not a boolean declares nothing
    }
}

// After the job: an "after_generate" instance is unloaded, then the claim
// ends (idle, with a fresh last-active time). Never throws.
void finishClaim(RequestRelease& release) noexcept {
    try {
        if (release.armed()) release.claim().releaseAfterGenerate();
    } catch (const std::exception& e) {
        logMessage(1, "[generate] release after generate failed: %s", e.what());
    }
    release.run();
}

// A failure while the events are read: the job is cancelled and its worker
// finished before the failure goes on.
void abandonJob(MivrelEngine& engine) noexcept {
    try {
        engine.abortGeneration();
        GenerationEvent dropped;
        while (engine.fetchNextEvent(dropped)) {
        }
    } catch (const std::exception& e) {
        logMessage(1, "[generate] abandoning the job failed: %s", e.what());
    }
}

}  // namespace

void handleGenerate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id, const std::string& familyType,
                    const std::string& endpoint) {
    // Speech bodies are flat and strict; image and video take the general
    // form. Speech references are voice recordings, not reference images.
    const bool speech = endpoint == "speechGenerate";
    const char* cid = id.c_str();
    const char* name = endpoint.c_str();

    nlohmann::json body;
    try {
        body = parseBodyAllowingComments(request);
    } catch (const nlohmann::json::parse_error& e) {
        return sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
    }
    bool stream = false;
    if (!streamFlag(body, stream)) {
        return sendJsonError(handler, response, 400, "bad_request", "\"stream\" must be a boolean");
    }
    GenerationInput input;
    try {
        input = speech ? normalizeSpeechRequest(body) : parseGenerationInput(body, {"stream"});
    } catch (const GenerationInputError& e) {
        return sendJsonError(handler, response, 400, "bad_request", e.what());
    }
    for (InputPart& part : input.parts) {
        if (part.type != "text") part.file = stripFilesPrefix(part.file);
    }

    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {familyType}, endpoint)) return;

    int references = 0;
    for (const InputPart& part : input.parts) {
        if (part.type != "text" && part.role == "reference") ++references;
    }
    if (references > 0 && !speech) {
        if (!acceptsReferences(*mivrel)) {
            return sendJsonError(handler, response, 400, "bad_request",
                                 "this Mivrel does not accept reference images (the model has no vision encoder and "
                                 "does not declare supportsRefImages)");
        }
        const int max = modelLimit(mivrel->config.loadSettings.params, "maxRefImages", 4);
        if (references > max) {
            return sendJsonError(handler, response, 400, "bad_request",
                                 "too many reference images: " + std::to_string(references) + " (max " +
                                     std::to_string(max) + ")");
        }
    }

    try {
        input.storeKey = mivrel->fileStore.open(bearerToken(request), true);
    } catch (const FileStoreException& e) {
        return sendFileStoreError(handler, response, e);
    }
    for (const InputPart& part : input.parts) {
        if (part.type == "text" || mivrel->fileStore.exists(part.file)) continue;
        return sendJsonError(handler, response, 404, "file_not_found",
                             "input file not found: " + fileReference(part.file));
    }

    // The busy test and the claim are one step; the load and the job happen
    // under the claim.
    ClaimResult claimed = ClaimResult::kOk;
    RequestRelease release;
    release.arm(MivrelClaim::acquire(mivrel, ClaimKind::kRun, &claimed));
    if (!release.armed()) {
        if (claimed == ClaimResult::kRemoved) return sendMivrelNotFound(handler, response, id);
        return sendJsonError(handler, response, 409, "mivrel_inferring", "Generation in progress");
    }
    logMessage(4, "[POST /v1/%s/%s] stream=%s options=%s", cid, name, stream ? "true" : "false",
               input.options.dump(-1, ' ', false, kReplace).c_str());

    GenerationReply reply{handler, response, id};
    if (stream) {
        beginEventStream(handler, response);
        reply.streaming = true;
    }
    const SseTarget sse{stream, handler};
    InitLoadStep step;
    step.mivrelId = id;
    step.events = &sse;
    const InitLoadResult load = loadWithInitEvents(release.claim(), step);
    if (load.failed) {
        logMessage(1, "[POST /v1/%s/%s] 모델 로드 실패: %s", cid, name, load.error.c_str());
        release.refuse();
        if (!stream) return sendJsonError(handler, response, 500, "mivrel_init_fail", load.error);
        nlohmann::ordered_json payload = nlohmann::ordered_json::object();
        payload["mivrelId"] = id;
        payload["scope"] = "model";
        payload["error"] = makeSseErrorJson("mivrel_init_fail", load.error)["error"];
        payload["elapsed_ms"] = nowMs() - load.t0;
        reply.writeEvent("mivrel.init_failed", payload);
        return handler.endChunked();
    }
    if (load.loadedNow) logMessage(4, "[POST /v1/%s/%s] 모델 로드 완료", cid, name);
    MivrelEngine& engine = *mivrel->engine;

    try {
        validateGenerationInput(input, engine.getInputSchema());
    } catch (const GenerationInputError& e) {
        release.refuse();
        return reply.sendError(400, "bad_request", e.what());
    }
    mivrel->lastActiveAt.store(nowMs());
    try {
        engine.startInputGeneration(input);
    } catch (const GenerationInputError& e) {
        release.run();
        return reply.sendError(400, "bad_request", e.what());
    } catch (const std::exception& e) {
        release.run();
        return reply.sendError(500, "internal_error", e.what());
    }

    GenerationEvent event;
    if (stream) {
        // A stop or unload frees a writer that waits on a client which
        // stopped reading.
        const WriteAbandonScope abandonOnStop(handler, mivrel->abortRequested);
        try {
            while (engine.fetchNextEvent(event)) {
                nlohmann::ordered_json payload = makeGenerationPayload(id, event);
                if (event.type == "error") {
                    const std::string message = payload.value("message", std::string("generation failed"));
                    payload = nlohmann::ordered_json::object();
                    payload["mivrelId"] = id;
                    payload["code"] = "internal_error";
                    payload["message"] = message;
                }
                reply.writeEvent("generation." + event.type, payload);
            }
        } catch (...) {
            abandonJob(engine);
            finishClaim(release);
            throw;
        }
        // The instance is free before the client sees the end of the stream.
        finishClaim(release);
        handler.endChunked();
        return;
    }

    GenerationEvent final;
    bool ended = false;
    try {
        while (engine.fetchNextEvent(event)) {
            if (event.type == "result" || event.type == "error" || event.type == "cancelled") {
                final = event;
                ended = true;
            }
        }
    } catch (...) {
        abandonJob(engine);
        finishClaim(release);
        throw;
    }
    finishClaim(release);
    if (ended && final.type == "result") {
        nlohmann::ordered_json document = makeGenerationPayload(id, final);
        document["method"] = speech ? "llama.cpp" : "sd.cpp";
        if (load.loadedNow) document["mivrel_init"] = load.initDone;
        return sendJsonDocument(handler, response, 200, document);
    }
    if (ended && final.type == "cancelled") {
        nlohmann::ordered_json document = nlohmann::ordered_json::object();
        document["mivrelId"] = id;
        document["status"] = "cancelled";
        return sendJsonDocument(handler, response, 200, document);
    }
    // A job that ended without a final event counts as failed.
    std::string message = "generation failed";
    if (ended) message = makeGenerationPayload(id, final).value("message", message);
    sendJsonError(handler, response, 500, "internal_error", message);
}

void installGenerateRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.generate = bindServices(services, handleGenerate);
}
