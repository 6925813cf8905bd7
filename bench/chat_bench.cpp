// Chat endpoint overhead: the larger bench model registered as an instance
// in a temporary home, the real brisvanesrv on a free loopback port, and a
// streamed chat reply of 512 greedy tokens over HTTP, timed from the request
// to the first "message.delta" (time to first token) and from there to the
// end of the stream (generation tokens/s). The engine loop of engine_bench
// (same model, prompt and settings) runs in this process as the reference.
// Prints both, the ratio (server / engine; the target is 0.95 or more), and
// the median of the rounds.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <llama.h>
#include <nlohmann/json.hpp>

#include "bench_model.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

using namespace bench;
using nlohmann::json;

constexpr int kRounds = 5;

struct HttpFigures {
    double ttftSeconds = 0;
    double generateSeconds = 0;
    int outputTokens = 0;
    bool ok = false;
};

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// One streamed chat request; the clock starts when the request is sent. The
// instance stays with its conversation, so every round uses the same one and
// resets it, which makes each request prefill the whole prompt again.
HttpFigures streamChat(uint16_t port) {
    HttpFigures f;
    const std::string body =
        json({{"conversationId", "bench"},
              {"messages", json::array({{{"role", "user"}, {"content", benchPromptText()}}})},
              {"options",
               // Sampling options count only with apply_sampling; without it the
               // instance's defaults would run instead of greedy decoding.
               {{"stream", true}, {"apply_sampling", true}, {"temperature", 0.0}, {"top_k", 1}, {"top_p", 1.0}, {"repeat_penalty", 1.0},
                {"max_tokens", kGenerateTokens}, {"seed", 1}, {"mivrel_reset", true}}}})
            .dump();
    HttpConnection connection;
    if (!connection.connect(port)) return f;
    const auto start = Clock::now();
    if (!connection.send(buildRequest("POST", "/v1/mivrel/bench/messages", {{"Content-Type", "application/json"}},
                                      body)))
        return f;
    std::string received;
    Clock::time_point first{};
    bool seenFirst = false;
    // The stream ends with the completed message (its usage) and [DONE].
    while (received.find("data: [DONE]") == std::string::npos) {
        pollfd p{connection.fd(), POLLIN, 0};
        if (::poll(&p, 1, 300000) <= 0) return f;
        char buffer[16384];
        const ssize_t n = ::recv(connection.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
        if (!seenFirst && received.find("event: message.delta") != std::string::npos) {
            first = Clock::now();
            seenFirst = true;
        }
    }
    const auto end = Clock::now();
    if (!seenFirst) {
        std::fprintf(stderr, "no message.delta in the reply:\n%s\n", received.substr(0, 2000).c_str());
        return f;
    }
    f.ttftSeconds = std::chrono::duration<double>(first - start).count();
    f.generateSeconds = std::chrono::duration<double>(end - first).count();
    // The completed message comes last; its usage counts the reply.
    const size_t at = received.rfind("\"output_tokens\":");
    if (at != std::string::npos) f.outputTokens = std::atoi(received.c_str() + at + 16);
    f.ok = true;
    return f;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    TempDir home;
    fs::create_directories(home.file("models/bench-model"));
    fs::create_directories(home.file("mivrel/bench"));
    fs::create_directories(home.file("work"));
    const std::string modelPath = home.file("models/bench-model/bench-chat.gguf");
    if (!writeBenchModel(modelPath)) return 1;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port, "LOCAL_V1_ACCESS=true\n"));
    writeText(home.file("work/.runtime.properties"), "APP_ID=chat-bench\nBRISVANE_EXPORT=true\n");
    writeText(home.file("models/bench-model/properties.json"), "{}");
    writeText(home.file("models/models.json"),
              json({{"models", json::array({{{"modelId", "bench-model"},
                                             {"name", "Bench model"},
                                             {"filename", "bench-chat.gguf"},
                                             {"downloadedAt", "2026-01-01T00:00:00.000Z"}}})}})
                  .dump(2));
    writeText(home.file("mivrel/bench/properties.json"),
              json({{"mivrelId", "bench"}, {"name", "Bench"}, {"description", "Chat benchmark"}, {"type", "local"},
                    {"modelId", "bench-model"}, {"n_ctx", 1024}})
                  .dump(2));
    writeText(home.file("mivrel/mivrel.json"), json({{"mivrelList", json::array({{{"mivrelId", "bench"}}})}}).dump(2));

    ServerProcess server;
    if (!server.start({}, home.path()) || !server.waitListening(port)) {
        std::fprintf(stderr, "server did not start: %s\n", server.stderrText().c_str());
        return 1;
    }

    MivrelLLMEngine engine;
    loadBenchEngine(engine, modelPath);
    const std::vector<int32_t> prompt = benchPromptTokens();

    // The first request loads the model; it is a warm-up and not counted.
    if (!streamChat(port).ok) return 1;
    runEngine(engine, prompt);

    std::vector<double> ttft, serverGen, engineTtft, engineGen;
    for (int round = 0; round < kRounds; ++round) {
        const HttpFigures h = streamChat(port);
        const Figures e = runEngine(engine, prompt);
        if (!h.ok) return 1;
        if (h.outputTokens != kGenerateTokens || e.generated != kGenerateTokens) {
            std::fprintf(stderr, "generated %d (server) and %d (engine) tokens, expected %d\n", h.outputTokens,
                         e.generated, kGenerateTokens);
        }
        ttft.push_back(h.ttftSeconds);
        // The first delta carries one token; the rest follow it.
        serverGen.push_back((h.outputTokens - 1) / h.generateSeconds);
        engineTtft.push_back(e.prefillSeconds);
        engineGen.push_back(e.generated / e.generateSeconds);
        std::printf("round %d: server ttft %.1f ms, %.1f tok/s (%d tokens); engine prefill %.1f ms, %.1f tok/s\n",
                    round, h.ttftSeconds * 1000, serverGen.back(), h.outputTokens, e.prefillSeconds * 1000,
                    engineGen.back());
    }
    std::printf("model: llama, 8 layers, n_embd 512, F16, CPU; prompt text %d bytes, %d tokens greedily; median "
                "of %d\n",
                kPromptTokens, kGenerateTokens, kRounds);
    std::printf("time to first token  server %8.1f ms   engine prefill %8.1f ms\n", median(ttft) * 1000,
                median(engineTtft) * 1000);
    std::printf("generation           server %8.1f tok/s engine %8.1f tok/s ratio %.3f\n", median(serverGen),
                median(engineGen), median(serverGen) / median(engineGen));
    std::printf("target: ratio >= 0.95\n");
    const int code = server.stop();
    if (code != 0) std::fprintf(stderr, "server exit code %d\n", code);
    return 0;
}
