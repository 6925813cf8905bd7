// Chat endpoint overhead, in three modes. Each runs the real brisvanesrv on a
// free loopback port in a temporary home and times streamed chat replies over
// HTTP, every client on one kept-alive connection: time to first token (from
// sending the request to the first token's text), token-2 latency (first
// token's text to the second's), generation tokens/s (first token's text to
// the last's), the time from the last token's text to the end of the reply,
// and the threads the server process started per request (thread ids in
// /proc/<pid>/task never seen before, looked at when the first token arrives
// and when the reply ends; the first request is the warm-up). Every round
// resets the conversation, so every request prefills the whole prompt. The
// two sides alternate their order round by round (A/B, B/A); each figure is
// the median of the rounds with its min and max. The machine's load average
// is printed before and after, with a warning when it is above 2.
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
// token 2 <= 1.0x, tokens/s >= 1.0x, 0 threads started per request.
//
// --llama-server <program> --parallel: the same model and request, 4 clients
// at once against 4 instances of it (each computing on the library's default
// 4 threads) and against llama-server -np 4 given the same thread budget (16
// threads for its one context). Reports the aggregate tokens/s of the 4
// replies (all tokens over the time from the first request sent to the last
// reply's end) and the clients' median time to first token. Target: aggregate
// tokens/s >= 1.0x llama-server's.
//
// Both sides must do equal work: the benchmark fails (exit code 1) when the
// prompt token counts, the generated token counts or the texts differ (the
// parallel mode checks the counts only: llama-server's batched decode sums in
// another order, and greedy texts on random weights part after a while).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <llama.h>
#include <nlohmann/json.hpp>

#include "bench_model.h"
#include "common/machine_load.h"
#include "common/rounds.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

using namespace bench;
using nlohmann::json;

// The rounds to run: kMinRounds unless BRISVANE_BENCH_ROUNDS says otherwise
// (bench::roundCount, which says so once).
int roundsToRun() {
    static const int rounds = roundCount(kMinRounds);
    return rounds;
}
// The library's default, which a chat instance uses; llama-server gets it too.
constexpr int kThreads = 4;
// Clients and instances of the parallel mode.
constexpr int kParallel = 4;

// The threads of one process the benchmark has seen, by kernel id.
class ThreadCensus {
public:
    explicit ThreadCensus(pid_t pid) : pid_(pid) {}
    // How many threads of the process are alive now that were never seen
    // before; they count as seen from now on.
    int newThreads() {
        int fresh = 0;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
            if (seen_.insert(entry.path().filename().string()).second) ++fresh;
        }
        return fresh;
    }

private:
    pid_t pid_;
    std::set<std::string> seen_;
};

// One side's kept-alive connection to its server, and the census of that
// server's threads (none for a side without a process of its own).
struct Client {
    uint16_t port = 0;
    ThreadCensus* census = nullptr;
    HttpConnection connection;
    bool open = false;
};

// One streamed reply as the client saw it.
struct StreamFigures {
    bool ok = false;
    double ttftSeconds = 0;      // request sent -> first token's text arrived
    double token2Seconds = 0;    // first token's text -> second token's text
    double generateSeconds = 0;  // first token's text -> last token's text
    double tailSeconds = 0;      // last token's text -> end of the reply
    int newThreads = 0;          // threads the server started during the request
    Clock::time_point sent, end;
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

// How many marked frames start at or after `from` and are whole in
// `received`; `from` moves past the last place a mark could start.
int countTokenMarks(const std::string& received, size_t& from, const TokenMark& m) {
    int count = 0;
    size_t at = received.find(m.mark, from);
    for (; at != std::string::npos; at = received.find(m.mark, at + 1)) {
        const size_t next = at + m.mark.size();
        if (m.nonEmpty && next >= received.size()) break;  // its text has not arrived yet
        if (!m.nonEmpty || received[next] != '"') ++count;
        from = at + 1;
    }
    if (at == std::string::npos && received.size() >= m.mark.size())
        from = std::max(from, received.size() - m.mark.size() + 1);
    return count;
}

// Times of one exchange: request sent, first, second and last token text
// arrived, end of the reply.
struct ExchangeTimes {
    Clock::time_point sent, first, second, last, end;
    int newThreads = 0;
};

// Sends `request` on the client's connection (made again when it was closed)
// and reads until `endMark` arrives, noting when token text first, second
// and last arrived and which threads the server started meanwhile; then reads
// the reply to its end, so the connection can carry the next request.
// Returns the raw reply ("" on failure or when no token text came).
std::string timedExchange(Client& client, const std::string& request, const TokenMark& token,
                          const std::string& endMark, ExchangeTimes& times) {
    std::string received;
    int tokens = 0;
    size_t scanned = 0;
    bool ended = false;
    auto readMore = [&]() -> bool {
        pollfd p{client.connection.fd(), POLLIN, 0};
        if (::poll(&p, 1, 600000) <= 0) return false;
        char buffer[65536];
        const ssize_t n = ::recv(client.connection.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        received.append(buffer, static_cast<size_t>(n));
        return true;
    };
    // A kept-alive connection the server has closed meanwhile (llama-server
    // closes idle ones after a few seconds) answers nothing: once more on a
    // new one.
    for (int attempt = 0;; ++attempt) {
        const bool reused = client.open;
        if (!client.open && !client.connection.connect(client.port)) return "";
        client.open = true;
        times.sent = Clock::now();
        if (client.connection.send(request) && readMore()) break;
        client.connection.close();
        client.open = false;
        if (!reused || attempt > 0) {
            std::fprintf(stderr, "no reply on the connection\n");
            return "";
        }
    }
    for (bool first = true; !ended; first = false) {
        if (!first && !readMore()) {
            std::fprintf(stderr, "the connection ended after %zu bytes:\n%s\n", received.size(),
                         received.substr(0, 2000).c_str());
            client.open = false;
            return "";
        }
        const auto now = Clock::now();
        const int before = tokens;
        tokens += countTokenMarks(received, scanned, token);
        if (before == 0 && tokens > 0) {
            times.first = now;
            if (client.census) times.newThreads += client.census->newThreads();
        }
        if (before < 2 && tokens >= 2) times.second = now;
        if (tokens > before) times.last = now;
        ended = received.find(endMark) != std::string::npos;
    }
    times.end = Clock::now();
    if (client.census) times.newThreads += client.census->newThreads();
    // The rest of the reply: a chunked one ends with its last chunk, any
    // other with the connection.
    const size_t headEnd = received.find("\r\n\r\n");
    std::string head = received.substr(0, headEnd);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    if (head.find("transfer-encoding: chunked") != std::string::npos) {
        while (received.find("\r\n0\r\n\r\n") == std::string::npos) {
            if (!readMore()) {
                client.open = false;
                break;
            }
        }
    } else {
        client.connection.close();
        client.open = false;
    }
    if (tokens < 2) times.second = times.first;
    if (tokens == 0) std::fprintf(stderr, "no token text in the reply:\n%s\n", received.substr(0, 2000).c_str());
    return tokens > 0 ? received : "";
}

// Fills the timings of `f` from one exchange.
void takeTimes(StreamFigures& f, const ExchangeTimes& t) {
    f.ttftSeconds = std::chrono::duration<double>(t.first - t.sent).count();
    f.token2Seconds = std::chrono::duration<double>(t.second - t.first).count();
    f.generateSeconds = std::chrono::duration<double>(t.last - t.first).count();
    f.tailSeconds = std::chrono::duration<double>(t.end - t.last).count();
    f.newThreads = t.newThreads;
    f.sent = t.sent;
    f.end = t.end;
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

StreamFigures streamChat(Client& client, const std::string& text, int maxTokens,
                         const std::string& instance = "bench") {
    StreamFigures f;
    ExchangeTimes times;
    const std::string raw = timedExchange(
        client,
        buildRequest("POST", "/v1/mivrel/" + instance + "/messages", {{"Content-Type", "application/json"}},
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
StreamFigures streamLlamaServer(Client& client, const std::string& prompt, int maxTokens) {
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
        timedExchange(client, buildRequest("POST", "/completion", {{"Content-Type", "application/json"}}, body),
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
    t.first = t.second = t.last = Clock::now();
    f.text = piece;
    for (int n = 2; engine.fetchNextToken(piece); ++n) {
        t.last = Clock::now();
        if (n == 2) t.second = t.last;
        f.text += piece;
    }
    t.end = Clock::now();
    takeTimes(f, t);
    f.promptTokens = static_cast<int>(prompt.size());
    f.outputTokens = engine.getGenerationStats().generatedTokens;
    f.ok = true;
    return f;
}

// Equal work or nothing: prints what differs and returns false. Without
// `compareTexts` only the token counts must agree.
bool sameWork(const char* a, const StreamFigures& x, const char* b, const StreamFigures& y, int expectedTokens,
              bool compareTexts = true) {
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
    if (compareTexts && x.text != y.text) {
        size_t at = 0;
        while (at < x.text.size() && at < y.text.size() && x.text[at] == y.text[at]) ++at;
        std::fprintf(stderr, "texts differ at byte %zu (lengths %zu and %zu):\n%s: %s\n%s: %s\n", at, x.text.size(),
                     y.text.size(), a, json(x.text.substr(at, 80)).dump().c_str(), b,
                     json(y.text.substr(at, 80)).dump().c_str());
        same = false;
    }
    return same;
}

// One side's figures over the rounds (milliseconds, tokens/s, threads).
struct Summary {
    std::vector<double> ttft, token2, rate, tail, threads;
    void add(const StreamFigures& f) {
        ttft.push_back(f.ttftSeconds * 1000);
        token2.push_back(f.token2Seconds * 1000);
        // The first token's text opens the generation clock; the rest follow.
        rate.push_back((f.outputTokens - 1) / f.generateSeconds);
        tail.push_back(f.tailSeconds * 1000);
        threads.push_back(f.newThreads);
    }
};

// The rounds, the two sides alternating their order (A/B, then B/A);
// false when a side fails or the two did not do equal work.
bool runRounds(const char* nameA, const std::function<StreamFigures()>& a, Summary& summaryA, const char* nameB,
               const std::function<StreamFigures()>& b, Summary& summaryB, int tokens) {
    StreamFigures x, y;
    int sidesRun = 0;
    // After the round's second side: both figures are there.
    auto roundDone = [&](int round) {
        if (++sidesRun % 2 != 0) return true;
        if (!sameWork(nameA, x, nameB, y, tokens)) return false;
        summaryA.add(x);
        summaryB.add(y);
        std::printf("round %d (%s first): %s ttft %.1f ms, token 2 %.1f ms, %.1f tok/s; %s ttft %.1f ms, token 2 "
                    "%.1f ms, %.1f tok/s\n",
                    round, round % 2 == 0 ? nameA : nameB, nameA, summaryA.ttft.back(), summaryA.token2.back(),
                    summaryA.rate.back(), nameB, summaryB.ttft.back(), summaryB.token2.back(), summaryB.rate.back());
        std::fflush(stdout);
        return true;
    };
    return alternateRounds(
        roundsToRun(), [&](int round) { return (x = a()).ok && roundDone(round); },
        [&](int round) { return (y = b()).ok && roundDone(round); });
}

// One figure of both sides: medians with min and max, and the ratio of the
// medians.
void printRow(const char* figure, const char* unit, const char* ours, const std::vector<double>& a,
              const char* reference, const std::vector<double>& b, bool ratio = true) {
    const Spread x = spreadOf(a), y = spreadOf(b);
    std::printf("%-20s %-11s %8.1f %-5s (%.1f..%.1f)  %-16s %8.1f %-5s (%.1f..%.1f)", figure, ours, x.median, unit,
                x.min, x.max, reference, y.median, unit, y.min, y.max);
    if (ratio && y.median > 0) std::printf("  ratio %.3f", x.median / y.median);
    std::printf("\n");
}

void printComparison(const char* ours, const Summary& a, const char* reference, const Summary& b,
                     bool threads) {
    std::printf("medians of %d rounds (min..max):\n", roundsToRun());
    printRow("time to first token", "ms", ours, a.ttft, reference, b.ttft);
    printRow("token 2 latency", "ms", ours, a.token2, reference, b.token2);
    printRow("generation", "tok/s", ours, a.rate, reference, b.rate);
    printRow("last token to end", "ms", ours, a.tail, reference, b.tail, false);
    if (threads) printRow("threads per request", "", ours, a.threads, reference, b.threads, false);
}

// A temporary home with one model and `instances` chat instances ("bench",
// "bench1", ...), and the server started on it.
struct BenchHome {
    TempDir home;
    uint16_t port = 0;
    ServerProcess server;

    std::string modelPath() const { return home.file("models/bench-model/bench-chat.gguf"); }
    static std::string instance(int i) { return i == 0 ? "bench" : "bench" + std::to_string(i); }

    void prepare(const json& modelProperties, int nCtx, int instances = 1) {
        namespace fs = std::filesystem;
        fs::create_directories(home.file("models/bench-model"));
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
        json list = json::array();
        for (int i = 0; i < instances; ++i) {
            const std::string id = instance(i);
            fs::create_directories(home.file("mivrel/" + id));
            writeText(home.file("mivrel/" + id + "/properties.json"),
                      json({{"mivrelId", id}, {"name", "Bench"}, {"description", "Chat benchmark"}, {"type", "local"},
                            {"modelId", "bench-model"}, {"n_ctx", nCtx}})
                          .dump(2));
            list.push_back({{"mivrelId", id}});
        }
        writeText(home.file("mivrel/mivrel.json"), json({{"mivrelList", list}}).dump(2));
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
    ThreadCensus census(home.server.pid());
    Client client{home.port, &census};

    // The first request loads the model; it is a warm-up and tells which
    // tokens the server prefills.
    const StreamFigures warm = streamChat(client, benchPromptText(), kGenerateTokens);
    if (!warm.ok) return 1;
    MivrelLLMEngine engine;
    loadBenchEngine(engine, home.modelPath());
    const std::vector<int32_t> prompt = engine.tokenizeText(warm.rawPrompt, true, true);
    runEngineLoop(engine, prompt, kGenerateTokens);

    Summary server, loop;
    if (!runRounds(
            "server", [&] { return streamChat(client, benchPromptText(), kGenerateTokens); }, server,
            "engine", [&] { return runEngineLoop(engine, prompt, kGenerateTokens); }, loop, kGenerateTokens))
        return 1;
    std::printf("model: llama, 8 layers, n_embd 512, F16, CPU; prompt %zu tokens, %d generated greedily, the same "
                "text on both sides\n",
                prompt.size(), kGenerateTokens);
    printComparison("server", server, "engine loop", loop, false);
    const Spread threads = spreadOf(server.threads);
    std::printf("threads the server started per request after the first: median %.0f, max %.0f\n", threads.median,
                threads.max);
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

constexpr int kServerTokens = 256;
constexpr int kServerPromptTokens = 319;
constexpr int kServerContext = 1024;

// Starts llama-server on the bench model with `slots` slots of kServerContext
// tokens each and `threads` threads.
bool startLlamaServer(ServerProcess& llama, const std::string& program, BenchHome& home, uint16_t port, int slots,
                      int threads) {
    const ContextSettings context = benchContext();
    const std::vector<std::string> args = {"-m", home.modelPath(), "--host", "127.0.0.1", "--port",
                                           std::to_string(port), "-c", std::to_string(kServerContext * slots),
                                           "-np", std::to_string(slots), "-b", std::to_string(context.nBatch),
                                           "-ub", std::to_string(context.nUbatch), "-t", std::to_string(threads),
                                           "-tb", std::to_string(threads), "-fa", "on", "-ngl", "0", "--no-webui"};
    if (llama.start(args, home.home.path(), {}, program) && waitHealthy(port, llama)) return true;
    std::fprintf(stderr, "llama-server did not start:\n%s%s\n", llama.stdoutText().c_str(),
                 llama.stderrText().c_str());
    return false;
}

// User text of one token a byte, sized so that the prompt brisvanesrv renders
// has kServerPromptTokens tokens; these requests also load the model. Fills
// `warm` with the last reply (its rawPrompt is the rendered prompt).
bool sizePromptText(Client& client, std::string& text, StreamFigures& warm, const std::string& instance = "bench") {
    const std::string words = "The quick brown fox jumps over the lazy dog. ";
    for (size_t size = kServerPromptTokens; size > 0;) {
        text.clear();
        while (text.size() < size) text.push_back(words[text.size() % words.size()]);
        warm = streamChat(client, text, kServerTokens, instance);
        if (!warm.ok) return false;
        if (warm.promptTokens == kServerPromptTokens) return true;
        if (warm.promptTokens < kServerPromptTokens ||
            size <= static_cast<size_t>(warm.promptTokens - kServerPromptTokens)) {
            std::fprintf(stderr, "cannot make a %d-token prompt (%d tokens)\n", kServerPromptTokens, warm.promptTokens);
            return false;
        }
        size -= static_cast<size_t>(warm.promptTokens - kServerPromptTokens);
    }
    return false;
}

int llamaServerMode(const std::string& program) {
    BenchHome home;
    home.prepare({{"assembler", "qwen3"}}, kServerContext);
    std::printf("writing the Qwen3-shaped model...\n");
    std::fflush(stdout);
    if (!writeQwen3ShapedModel(home.modelPath()) || !home.start()) return 1;

    const uint16_t llamaPort = freeLoopbackPort();
    ServerProcess llama;
    if (!startLlamaServer(llama, program, home, llamaPort, 1, kThreads)) return 1;
    ThreadCensus oursCensus(home.server.pid()), theirsCensus(llama.pid());
    Client ours{home.port, &oursCensus}, theirs{llamaPort, &theirsCensus};

    std::string text;
    StreamFigures warm;
    if (!sizePromptText(ours, text, warm)) return 1;
    if (!streamLlamaServer(theirs, warm.rawPrompt, kServerTokens).ok) {
        std::fprintf(stderr, "llama-server:\n%s\n", llama.stderrText().c_str());
        return 1;
    }
    // Once more on our side: its connection may have timed out while the
    // other side warmed up, and a new connection's thread is no thread of
    // the requests.
    if (!streamChat(ours, text, kServerTokens).ok) return 1;

    Summary a, b;
    if (!runRounds(
            "brisvanesrv", [&] { return streamChat(ours, text, kServerTokens); }, a, "llama-server",
            [&] { return streamLlamaServer(theirs, warm.rawPrompt, kServerTokens); }, b, kServerTokens))
        return 1;
    std::printf("model: Qwen3 0.6B shape (qwen3, 28 layers, n_embd 1024, vocabulary 151936), Q8_0, random weights, "
                "CPU, %d threads; prompt %d tokens, %d generated greedily, the same text on both sides\n",
                kThreads, warm.promptTokens, kServerTokens);
    printComparison("brisvanesrv", a, "llama-server", b, true);
    std::printf("targets: time to first token ratio <= 1.00, token 2 ratio <= 1.00, generation ratio >= 1.00, "
                "0 threads per request\n");
    llama.stop();
    home.server.stop();
    return 0;
}

// One round of the parallel mode: every client sends its request at once.
struct ParallelRound {
    bool ok = false;
    double aggregateRate = 0;  // all generated tokens / (first sent .. last end)
    std::vector<StreamFigures> replies;
};

ParallelRound runParallel(std::vector<Client>& clients, const std::function<StreamFigures(Client&, int)>& one) {
    ParallelRound round;
    round.replies.resize(clients.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); ++i)
        threads.emplace_back([&, i] { round.replies[i] = one(clients[i], static_cast<int>(i)); });
    for (std::thread& t : threads) t.join();
    Clock::time_point first = round.replies.front().sent, last = round.replies.front().end;
    int tokens = 0;
    for (const StreamFigures& f : round.replies) {
        if (!f.ok) return round;
        first = std::min(first, f.sent);
        last = std::max(last, f.end);
        tokens += f.outputTokens;
    }
    round.aggregateRate = tokens / std::chrono::duration<double>(last - first).count();
    round.ok = true;
    return round;
}

int parallelMode(const std::string& program) {
    BenchHome home;
    home.prepare({{"assembler", "qwen3"}}, kServerContext, kParallel);
    std::printf("writing the Qwen3-shaped model...\n");
    std::fflush(stdout);
    if (!writeQwen3ShapedModel(home.modelPath()) || !home.start()) return 1;

    // The same thread budget on both sides: brisvanesrv's instances each
    // compute on the library's default kThreads threads.
    const int budget = kParallel * kThreads;
    const uint16_t llamaPort = freeLoopbackPort();
    ServerProcess llama;
    if (!startLlamaServer(llama, program, home, llamaPort, kParallel, budget)) return 1;
    std::vector<Client> ours(kParallel), theirs(kParallel);
    for (int i = 0; i < kParallel; ++i) {
        ours[i].port = home.port;
        theirs[i].port = llamaPort;
    }

    std::string text;
    StreamFigures warm;
    if (!sizePromptText(ours[0], text, warm)) return 1;
    for (int i = 1; i < kParallel; ++i) {
        if (!streamChat(ours[i], text, kServerTokens, BenchHome::instance(i)).ok) return 1;
    }
    for (int i = 0; i < kParallel; ++i) {
        if (!streamLlamaServer(theirs[i], warm.rawPrompt, kServerTokens).ok) {
            std::fprintf(stderr, "llama-server:\n%s\n", llama.stderrText().c_str());
            return 1;
        }
    }

    auto oursRound = [&] {
        return runParallel(ours, [&](Client& c, int i) {
            return streamChat(c, text, kServerTokens, BenchHome::instance(i));
        });
    };
    auto theirsRound = [&] {
        return runParallel(theirs, [&](Client& c, int) { return streamLlamaServer(c, warm.rawPrompt, kServerTokens); });
    };
    std::vector<double> rateA, rateB, ttftA, ttftB;
    ParallelRound x, y;
    int sidesRun = 0;
    auto roundDone = [&](int round) {
        if (++sidesRun % 2 != 0) return true;
        // llama-server decodes the four replies in one batch, whose sums run
        // in another order than one reply's: on random weights greedy texts
        // part after a while, so here only the counts must agree.
        for (size_t i = 0; i < x.replies.size(); ++i) {
            if (!sameWork("brisvanesrv", x.replies[i], "llama-server", y.replies[i], kServerTokens, false)) return false;
        }
        std::vector<double> ta, tb;
        for (const StreamFigures& f : x.replies) ta.push_back(f.ttftSeconds * 1000);
        for (const StreamFigures& f : y.replies) tb.push_back(f.ttftSeconds * 1000);
        rateA.push_back(x.aggregateRate);
        rateB.push_back(y.aggregateRate);
        ttftA.push_back(spreadOf(ta).median);
        ttftB.push_back(spreadOf(tb).median);
        std::printf("round %d (%s first): brisvanesrv %.1f tok/s, ttft %.1f ms; llama-server %.1f tok/s, ttft %.1f ms\n",
                    round, round % 2 == 0 ? "brisvanesrv" : "llama-server", rateA.back(), ttftA.back(), rateB.back(),
                    ttftB.back());
        std::fflush(stdout);
        return true;
    };
    if (!alternateRounds(
            roundsToRun(), [&](int round) { return (x = oursRound()).ok && roundDone(round); },
            [&](int round) { return (y = theirsRound()).ok && roundDone(round); }))
        return 1;
    std::printf("model: Qwen3 0.6B shape, Q8_0, random weights, CPU; %d clients at once, prompt %d tokens, %d "
                "generated greedily each (token counts checked); thread budget %d on each side (brisvanesrv: %d "
                "instances x %d threads, the library default; llama-server: -np %d -t %d)\n",
                kParallel, warm.promptTokens, kServerTokens, budget, kParallel, kThreads, kParallel, budget);
    std::printf("medians of %d rounds (min..max):\n", roundsToRun());
    printRow("aggregate generation", "tok/s", "brisvanesrv", rateA, "llama-server", rateB);
    printRow("time to first token", "ms", "brisvanesrv", ttftA, "llama-server", ttftB);
    std::printf("target: aggregate generation ratio >= 1.00\n");
    llama.stop();
    home.server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::LoadAverageReport load("chat_bench");
    if (argc == 1) return engineMode();
    const bool parallel = argc == 4 && std::strcmp(argv[3], "--parallel") == 0;
    if ((argc == 3 || parallel) && std::strcmp(argv[1], "--llama-server") == 0) {
        // The servers run in the temporary home: the program's path must not
        // depend on this folder.
        const std::filesystem::path program = std::filesystem::absolute(argv[2]);
        if (!std::filesystem::is_regular_file(program)) {
            std::fprintf(stderr, "no program at %s\n", program.c_str());
            return 2;
        }
        return parallel ? parallelMode(program.string()) : llamaServerMode(program.string());
    }
    std::fprintf(stderr,
                 "usage: %s                                     brisvanesrv against the engine loop\n"
                 "       %s --llama-server <program>            brisvanesrv against llama.cpp's server "
                 "(bench/build_llama_server.sh builds it)\n"
                 "       %s --llama-server <program> --parallel 4 clients against 4 instances and against "
                 "llama-server -np 4\n",
                 argv[0], argv[0], argv[0]);
    return 2;
}
