// Chat endpoint overhead, in two modes. Both run the real brisvanesrv on a
// free loopback port in a temporary home and time streamed chat replies over
// HTTP: time to first token (from sending the request to the first token's
// text), generation tokens/s (from there to the last token's text) and the
// time from the last token's text to the end of the reply. Every round resets the conversation, so every request prefills the
// whole prompt. Rounds alternate between the two sides; medians are printed.
//
// Default mode: the kit's bench model (llama, 8 layers, n_embd 512, F16) and
// 512 greedy tokens, against the engine loop in this process (startGeneration
// and fetchNextToken) on the prompt tokens the server itself decoded (read
// back through "debug_prompt"). Targets: server tokens/s >= 0.97x the
// engine's, time to first token <= 1.1x the engine's (prefill plus first
// sample).
//
// --llama-server <program>: a model of Qwen3 0.6B's shape (Q8_0, random
// weights, written here), a 319-token prompt and 256 greedy tokens, against
// llama.cpp's own server built from the same llama.cpp source
// (bench/build_llama_server.sh) on the same model, prompt text (the one
// brisvanesrv rendered, sent raw to its /completion), context, batch sizes
// and thread count. Targets: time to first token <= 1.0x llama-server's,
// tokens/s >= 1.0x.
//
// Both sides must do equal work: the benchmark fails (exit code 1) when the
// prompt token counts, the generated token counts or the texts differ.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
// The library's default, which a chat instance uses; llama-server gets it too.
constexpr int kThreads = 4;

// One streamed reply as the client saw it.
struct StreamFigures {
    bool ok = false;
    double ttftSeconds = 0;      // request sent -> first token's text arrived
    double generateSeconds = 0;  // first token's text -> last token's text
    double tailSeconds = 0;      // last token's text -> end of the reply
    int promptTokens = 0;
    int outputTokens = 0;
    std::string text;       // the streamed text, joined
    std::string rawPrompt;  // brisvanesrv: the prompt it decoded
};

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The body of a chunked reply, chunks joined; other bodies unchanged.
std::string replyBody(const std::string& raw) {
    const size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return "";
    std::string head = raw.substr(0, headEnd);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string body = raw.substr(headEnd + 4);
    if (head.find("transfer-encoding: chunked") == std::string::npos) return body;
    std::string out;
    size_t at = 0;
    while (at < body.size()) {
        const size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string::npos) break;
        const size_t size = std::strtoul(body.c_str() + at, nullptr, 16);
        if (size == 0) break;
        out.append(body, lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
    return out;
}

// The JSON payloads of "data: " lines, with the event name before each
// ("" when the line has none); "[DONE]" is skipped.
std::vector<std::pair<std::string, json>> sseFrames(const std::string& body) {
    std::vector<std::pair<std::string, json>> frames;
    std::string event;
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos) end = body.size();
        const std::string line = body.substr(at, end - at);
        at = end + 1;
        if (line.rfind("event: ", 0) == 0) {
            event = line.substr(7);
        } else if (line.rfind("data: ", 0) == 0) {
            if (line != "data: [DONE]") frames.emplace_back(event, json::parse(line.substr(6), nullptr, false));
            event.clear();
        }
    }
    return frames;
}

// Where a reply's token text is marked: `mark` opens each frame that carries
// some, and with `nonEmpty` a frame whose text is "" (a closing frame) does
// not count.
struct TokenMark {
    std::string mark;
    bool nonEmpty = false;
};

// Whether `received` holds a marked frame at or after `from`.
bool holdsTokenText(const std::string& received, size_t from, const TokenMark& m) {
    for (size_t at = received.find(m.mark, from); at != std::string::npos; at = received.find(m.mark, at + 1)) {
        const size_t next = at + m.mark.size();
        if (!m.nonEmpty || (next < received.size() && received[next] != '"')) return true;
    }
    return false;
}

// Times of one exchange: request sent, first and last token text arrived,
// end of the reply.
struct ExchangeTimes {
    Clock::time_point sent, first, last, end;
};

// Sends `request` on a new connection and reads until `endMark` arrives,
// noting when token text first and last arrived. Returns the raw reply (""
// on failure or when no token text came).
std::string timedExchange(uint16_t port, const std::string& request, const TokenMark& token,
                          const std::string& endMark, ExchangeTimes& times) {
    HttpConnection connection;
    if (!connection.connect(port)) return "";
    times.sent = Clock::now();
    if (!connection.send(request)) return "";
    std::string received;
    bool seenFirst = false;
    while (received.find(endMark) == std::string::npos) {
        pollfd p{connection.fd(), POLLIN, 0};
        if (::poll(&p, 1, 600000) <= 0) return "";
        char buffer[65536];
        const ssize_t n = ::recv(connection.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        const auto now = Clock::now();
        // Only the new bytes (and a mark split across reads) are searched.
        const size_t from = received.size() > token.mark.size() ? received.size() - token.mark.size() : 0;
        received.append(buffer, static_cast<size_t>(n));
        if (holdsTokenText(received, from, token)) {
            if (!seenFirst) times.first = now;
            seenFirst = true;
            times.last = now;
        }
    }
    times.end = Clock::now();
    return seenFirst ? received : "";
}

// Fills the timings of `f` from one exchange.
void takeTimes(StreamFigures& f, const ExchangeTimes& t) {
    f.ttftSeconds = std::chrono::duration<double>(t.first - t.sent).count();
    f.generateSeconds = std::chrono::duration<double>(t.last - t.first).count();
    f.tailSeconds = std::chrono::duration<double>(t.end - t.last).count();
}

std::string chatBody(const std::string& text, int maxTokens) {
    return json({{"conversationId", "bench"},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 // Sampling options count only with apply_sampling; without it
                 // the instance's defaults would run instead of greedy decoding.
                 {"options",
                  {{"stream", true}, {"apply_sampling", true}, {"temperature", 0.0}, {"top_k", 1}, {"top_p", 1.0},
                   {"min_p", 0.0}, {"repeat_penalty", 1.0}, {"max_tokens", maxTokens}, {"seed", 1},
                   {"mivrel_reset", true}, {"debug_prompt", true}}}})
        .dump();
}

StreamFigures streamChat(uint16_t port, const std::string& text, int maxTokens) {
    StreamFigures f;
    ExchangeTimes times;
    const std::string raw = timedExchange(
        port,
        buildRequest("POST", "/v1/mivrel/bench/messages", {{"Content-Type", "application/json"}},
                     chatBody(text, maxTokens)),
        {"event: message.delta", false}, "data: [DONE]", times);
    if (raw.empty()) {
        std::fprintf(stderr, "brisvanesrv: no streamed reply\n");
        return f;
    }
    for (const auto& [event, data] : sseFrames(replyBody(raw))) {
        if (event == "message.delta") f.text += data.value("delta", "");
        if (event == "message.completed") {
            const json& message = data["message"];
            f.promptTokens = message["usage"].value("input_tokens", 0);
            f.outputTokens = message["usage"].value("output_tokens", 0);
            f.rawPrompt = message.value("input_raw_prompt", "");
        }
        if (event == "message.error") std::fprintf(stderr, "brisvanesrv: %s\n", data.dump().c_str());
    }
    takeTimes(f, times);
    f.ok = f.outputTokens > 0;
    return f;
}

// One streamed /completion of llama-server on the raw prompt text.
StreamFigures streamLlamaServer(uint16_t port, const std::string& prompt, int maxTokens) {
    StreamFigures f;
    const std::string body = json({{"prompt", prompt},
                                   {"n_predict", maxTokens},
                                   {"stream", true},
                                   {"cache_prompt", false},
                                   {"temperature", 0.0},
                                   {"top_k", 1},
                                   {"top_p", 1.0},
                                   {"min_p", 0.0},
                                   {"repeat_penalty", 1.0},
                                   {"seed", 1}})
                                 .dump();
    ExchangeTimes times;
    const std::string raw =
        timedExchange(port, buildRequest("POST", "/completion", {{"Content-Type", "application/json"}}, body),
                      {"\"content\":\"", true}, "\"stop\":true", times);
    if (raw.empty()) {
        std::fprintf(stderr, "llama-server: no streamed reply\n");
        return f;
    }
    for (const auto& [event, data] : sseFrames(replyBody(raw))) {
        if (!data.is_object()) continue;
        f.text += data.value("content", "");
        if (data.value("stop", false)) {
            f.promptTokens = data.value("tokens_evaluated", 0);
            f.outputTokens = data.value("tokens_predicted", 0);
        }
    }
    takeTimes(f, times);
    f.ok = f.outputTokens > 0;
    return f;
}

// The engine loop on `prompt`, timed like a streamed reply: first piece after
// prefill and first sample, then the rest.
StreamFigures runEngineLoop(MivrelLLMEngine& engine, const std::vector<int32_t>& prompt, int maxTokens) {
    engine.resetContext(benchContext());
    engine.setSamplingOptions({{"temperature", 0.0}, {"top_k", 1}, {"top_p", 1.0}, {"min_p", 0.0},
                               {"repeat_penalty", 1.0}, {"max_tokens", maxTokens}, {"seed", 1}});
    StreamFigures f;
    ExchangeTimes t;
    t.sent = Clock::now();
    engine.startGeneration(prompt);
    std::string piece;
    if (!engine.fetchNextToken(piece)) return f;
    t.first = t.last = Clock::now();
    f.text = piece;
    while (engine.fetchNextToken(piece)) {
        t.last = Clock::now();
        f.text += piece;
    }
    t.end = Clock::now();
    takeTimes(f, t);
    f.promptTokens = static_cast<int>(prompt.size());
    f.outputTokens = engine.getGenerationStats().generatedTokens;
    f.ok = true;
    return f;
}

// Equal work or nothing: prints what differs and returns false.
bool sameWork(const char* a, const StreamFigures& x, const char* b, const StreamFigures& y, int expectedTokens) {
    bool same = true;
    if (x.promptTokens != y.promptTokens) {
        std::fprintf(stderr, "prompt tokens differ: %s %d, %s %d\n", a, x.promptTokens, b, y.promptTokens);
        same = false;
    }
    if (x.outputTokens != expectedTokens || y.outputTokens != expectedTokens) {
        std::fprintf(stderr, "generated tokens differ: %s %d, %s %d, expected %d\n", a, x.outputTokens, b,
                     y.outputTokens, expectedTokens);
        same = false;
    }
    if (x.text != y.text) {
        size_t at = 0;
        while (at < x.text.size() && at < y.text.size() && x.text[at] == y.text[at]) ++at;
        std::fprintf(stderr, "texts differ at byte %zu (lengths %zu and %zu):\n%s: %s\n%s: %s\n", at, x.text.size(),
                     y.text.size(), a, json(x.text.substr(at, 80)).dump().c_str(), b,
                     json(y.text.substr(at, 80)).dump().c_str());
        same = false;
    }
    return same;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median time to first token and tokens/s of one side's rounds.
struct Summary {
    std::vector<double> ttft, rate, tail;
    void add(const StreamFigures& f) {
        ttft.push_back(f.ttftSeconds);
        // The first token's text opens the generation clock; the rest follow.
        rate.push_back((f.outputTokens - 1) / f.generateSeconds);
        tail.push_back(f.tailSeconds);
    }
};

// kRounds rounds, the two sides alternating; false when a side fails or the
// two did not do equal work.
bool runRounds(const char* nameA, const std::function<StreamFigures()>& a, Summary& summaryA, const char* nameB,
               const std::function<StreamFigures()>& b, Summary& summaryB, int tokens) {
    for (int round = 0; round < kRounds; ++round) {
        const StreamFigures x = a();
        const StreamFigures y = b();
        if (!x.ok || !y.ok || !sameWork(nameA, x, nameB, y, tokens)) return false;
        summaryA.add(x);
        summaryB.add(y);
        std::printf("round %d: %s ttft %.1f ms, %.1f tok/s; %s ttft %.1f ms, %.1f tok/s\n", round, nameA,
                    x.ttftSeconds * 1000, summaryA.rate.back(), nameB, y.ttftSeconds * 1000, summaryB.rate.back());
        std::fflush(stdout);
    }
    return true;
}

void printComparison(const char* ours, const Summary& a, const char* reference, const Summary& b) {
    std::printf("time to first token  %-11s %8.1f ms     %-16s %8.1f ms     ratio %.3f\n", ours,
                median(a.ttft) * 1000, reference, median(b.ttft) * 1000, median(a.ttft) / median(b.ttft));
    std::printf("generation           %-11s %8.1f tok/s  %-16s %8.1f tok/s  ratio %.3f\n", ours, median(a.rate),
                reference, median(b.rate), median(a.rate) / median(b.rate));
    std::printf("last token to end    %-11s %8.1f ms     %-16s %8.1f ms\n", ours, median(a.tail) * 1000, reference,
                median(b.tail) * 1000);
}

// A temporary home with one model and one chat instance "bench", and the
// server started on it.
struct BenchHome {
    TempDir home;
    uint16_t port = 0;
    ServerProcess server;

    std::string modelPath() const { return home.file("models/bench-model/bench-chat.gguf"); }

    void prepare(const json& modelProperties, int nCtx) {
        namespace fs = std::filesystem;
        fs::create_directories(home.file("models/bench-model"));
        fs::create_directories(home.file("mivrel/bench"));
        fs::create_directories(home.file("work"));
        port = freeLoopbackPort();
        writeServerConf(home.path(), testServerConf(port, "LOCAL_V1_ACCESS=true\n"));
        writeText(home.file("work/.runtime.properties"), "APP_ID=chat-bench\nBRISVANE_EXPORT=true\n");
        writeText(home.file("models/bench-model/properties.json"), modelProperties.dump());
        writeText(home.file("models/models.json"),
                  json({{"models", json::array({{{"modelId", "bench-model"},
                                                 {"name", "Bench model"},
                                                 {"filename", "bench-chat.gguf"},
                                                 {"downloadedAt", "2026-01-01T00:00:00.000Z"}}})}})
                      .dump(2));
        writeText(home.file("mivrel/bench/properties.json"),
                  json({{"mivrelId", "bench"}, {"name", "Bench"}, {"description", "Chat benchmark"}, {"type", "local"},
                        {"modelId", "bench-model"}, {"n_ctx", nCtx}})
                      .dump(2));
        writeText(home.file("mivrel/mivrel.json"),
                  json({{"mivrelList", json::array({{{"mivrelId", "bench"}}})}}).dump(2));
    }

    bool start() {
        if (server.start({}, home.path()) && server.waitListening(port)) return true;
        std::fprintf(stderr, "brisvanesrv did not start: %s\n", server.stderrText().c_str());
        return false;
    }
};

int engineMode() {
    BenchHome home;
    home.prepare(json::object(), 1024);
    if (!writeBenchModel(home.modelPath()) || !home.start()) return 1;

    // The first request loads the model; it is a warm-up and tells which
    // tokens the server prefills.
    const StreamFigures warm = streamChat(home.port, benchPromptText(), kGenerateTokens);
    if (!warm.ok) return 1;
    MivrelLLMEngine engine;
    loadBenchEngine(engine, home.modelPath());
    const std::vector<int32_t> prompt = engine.tokenizeText(warm.rawPrompt, true, true);
    runEngineLoop(engine, prompt, kGenerateTokens);

    Summary server, loop;
    if (!runRounds(
            "server", [&] { return streamChat(home.port, benchPromptText(), kGenerateTokens); }, server,
            "engine", [&] { return runEngineLoop(engine, prompt, kGenerateTokens); }, loop, kGenerateTokens))
        return 1;
    std::printf("model: llama, 8 layers, n_embd 512, F16, CPU; prompt %zu tokens, %d generated greedily, the same "
                "text on both sides; median of %d\n",
                prompt.size(), kGenerateTokens, kRounds);
    printComparison("server", server, "engine loop", loop);
    std::printf("targets: time to first token ratio <= 1.10, generation ratio >= 0.97\n");
    const int code = home.server.stop();
    if (code != 0) std::fprintf(stderr, "server exit code %d\n", code);
    return 0;
}

// llama-server answers /health with 200 once its model is loaded.
bool waitHealthy(uint16_t port, ServerProcess& process) {
    for (int i = 0; i < 1200 && process.running(); ++i) {
        if (httpRequest(port, "GET", "/health").status == 200) return true;
        ::poll(nullptr, 0, 100);
    }
    return false;
}

int llamaServerMode(const std::string& program) {
    constexpr int kTokens = 256;
    constexpr int kPromptTokens = 319;
    constexpr int kContext = 1024;
    BenchHome home;
    home.prepare({{"assembler", "qwen3"}}, kContext);
    std::printf("writing the Qwen3-shaped model...\n");
    std::fflush(stdout);
    if (!writeQwen3ShapedModel(home.modelPath()) || !home.start()) return 1;

    const uint16_t llamaPort = freeLoopbackPort();
    ServerProcess llama;
    const ContextSettings context = benchContext();
    const std::vector<std::string> args = {"-m", home.modelPath(), "--host", "127.0.0.1", "--port",
                                           std::to_string(llamaPort), "-c", std::to_string(kContext), "-np", "1",
                                           "-b", std::to_string(context.nBatch), "-ub", std::to_string(context.nUbatch),
                                           "-t", std::to_string(kThreads), "-tb", std::to_string(kThreads), "-fa",
                                           "on", "-ngl", "0", "--no-webui"};
    if (!llama.start(args, home.home.path(), {}, program) || !waitHealthy(llamaPort, llama)) {
        std::fprintf(stderr, "llama-server did not start:\n%s%s\n", llama.stdoutText().c_str(),
                     llama.stderrText().c_str());
        return 1;
    }

    // User text of one token a byte, sized so that the rendered prompt has
    // kPromptTokens tokens; the first requests also load the model.
    const std::string words = "The quick brown fox jumps over the lazy dog. ";
    std::string text;
    StreamFigures warm;
    for (size_t size = kPromptTokens; size > 0;) {
        text.clear();
        while (text.size() < size) text.push_back(words[text.size() % words.size()]);
        warm = streamChat(home.port, text, kTokens);
        if (!warm.ok) return 1;
        if (warm.promptTokens == kPromptTokens) break;
        if (warm.promptTokens < kPromptTokens || size <= static_cast<size_t>(warm.promptTokens - kPromptTokens)) {
            std::fprintf(stderr, "cannot make a %d-token prompt (%d tokens)\n", kPromptTokens, warm.promptTokens);
            return 1;
        }
        size -= static_cast<size_t>(warm.promptTokens - kPromptTokens);
    }
    if (!streamLlamaServer(llamaPort, warm.rawPrompt, kTokens).ok) return 1;

    Summary ours, theirs;
    if (!runRounds(
            "brisvanesrv", [&] { return streamChat(home.port, text, kTokens); }, ours, "llama-server",
            [&] { return streamLlamaServer(llamaPort, warm.rawPrompt, kTokens); }, theirs, kTokens))
        return 1;
    std::printf("model: Qwen3 0.6B shape (qwen3, 28 layers, n_embd 1024, vocabulary 151936), Q8_0, random weights, "
                "CPU, %d threads; prompt %d tokens, %d generated greedily, the same text on both sides; median of "
                "%d\n",
                kThreads, warm.promptTokens, kTokens, kRounds);
    printComparison("brisvanesrv", ours, "llama-server", theirs);
    std::printf("targets: time to first token ratio <= 1.00, generation ratio >= 1.00\n");
    llama.stop();
    home.server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return engineMode();
    if (argc == 3 && std::strcmp(argv[1], "--llama-server") == 0) {
        // The servers run in the temporary home: the program's path must not
        // depend on this folder.
        const std::filesystem::path program = std::filesystem::absolute(argv[2]);
        if (!std::filesystem::is_regular_file(program)) {
            std::fprintf(stderr, "no program at %s\n", program.c_str());
            return 2;
        }
        return llamaServerMode(program.string());
    }
    std::fprintf(stderr,
                 "usage: %s                          brisvanesrv against the engine loop\n"
                 "       %s --llama-server <program> brisvanesrv against llama.cpp's server "
                 "(bench/build_llama_server.sh builds it)\n",
                 argv[0], argv[0]);
    return 2;
}
