// Helpers of the engine tests: a log capture, a scriptable fake engine, and a
// writer of hand-made GGUF files.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "engine/engine_factory.h"
#include "engine/mivrel_engine.h"
#include "engine/mivrel_exception.h"

// Collects the log lines written while it lives. The first capture sends the
// process's log to a temporary file at level 9 for the rest of the run.
class LogCapture {
public:
    LogCapture() : file_(sharedFile()) {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        start_ = std::ftell(file_);
    }

    std::string text() const {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        const long end = std::ftell(file_);
        std::string out(static_cast<size_t>(end - start_), '\0');
        std::fseek(file_, start_, SEEK_SET);
        const size_t got = std::fread(out.data(), 1, out.size(), file_);
        out.resize(got);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }

    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
    static FILE* sharedFile() {
        static FILE* file = [] {
            FILE* f = std::tmpfile();
            setLogFile(f);
            setLogLevel(9);
            return f;
        }();
        return file;
    }

    FILE* file_;
    long start_ = 0;
};

// An engine that provides only the six operations every engine must have, and
// counts what is done to it. `live` counts engines alive in the process, so
// tests see double installs and leaks.
class FakeEngine : public MivrelEngine {
public:
    static std::atomic<int> live;
    static std::atomic<int> loads;

    FakeEngine() { ++live; }
    ~FakeEngine() override {
        destroyed.store(true);
        --live;
    }

    void loadModel(const ModelLoadSettings& settings) override {
        ++loads;
        loadedPath = settings.modelPath;
        if (loadDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(loadDelayMs));
        if (failLoad) throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load model: %s", "fake");
    }
    void unloadModel() override {}
    void initContext(const ContextSettings& settings) override { contextSize = settings.nCtx; }
    void abortGeneration() override {
        // A destroyed engine must never be reached.
        if (destroyed.load()) std::abort();
        ++aborts;
    }
    ModelInfo getModelInfo() override { return ModelInfo(); }
    ContextStats getContextStats() override { return stats; }

    // Set before the engine is made (through FakeEngineMaker).
    static std::atomic<int> nextLoadDelayMs;
    static std::atomic<bool> nextFailLoad;

    int loadDelayMs = nextLoadDelayMs.load();
    bool failLoad = nextFailLoad.load();
    std::string loadedPath;
    int contextSize = 0;
    ContextStats stats;
    std::atomic<int> aborts{0};
    std::atomic<bool> destroyed{false};
};

// Resets FakeEngine's switches around a test; make() is the engine maker that
// gives every familyType a FakeEngine, for the test's managers and instances.
class FakeEngineMaker {
public:
    FakeEngineMaker() {
        FakeEngine::nextLoadDelayMs = 0;
        FakeEngine::nextFailLoad = false;
    }
    static MivrelEngineMaker make() {
        return [](const std::string&) -> std::unique_ptr<MivrelEngine> { return std::make_unique<FakeEngine>(); };
    }
    ~FakeEngineMaker() {
        FakeEngine::nextLoadDelayMs = 0;
        FakeEngine::nextFailLoad = false;
    }
    FakeEngineMaker(const FakeEngineMaker&) = delete;
    FakeEngineMaker& operator=(const FakeEngineMaker&) = delete;
};

// Little-endian GGUF bytes, written field by field so tests can cut a file at
// any field boundary.
class GgufWriter {
public:
    enum Type : uint32_t {
        kUint8 = 0, kInt8 = 1, kUint16 = 2, kInt16 = 3, kUint32 = 4, kInt32 = 5, kFloat32 = 6,
        kBool = 7, kString = 8, kArray = 9, kUint64 = 10, kInt64 = 11, kFloat64 = 12,
    };

    // Magic, version and both counts.
    GgufWriter& header(uint32_t version, uint64_t tensors, uint64_t metadata) {
        raw("GGUF");
        u32(version);
        u64(tensors);
        u64(metadata);
        return *this;
    }
    GgufWriter& raw(const std::string& bytes) {
        data_ += bytes;
        mark();
        return *this;
    }
    GgufWriter& u8(uint8_t v) { return le(v, 1); }
    GgufWriter& u16(uint16_t v) { return le(v, 2); }
    GgufWriter& u32(uint32_t v) { return le(v, 4); }
    GgufWriter& u64(uint64_t v) { return le(v, 8); }
    GgufWriter& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return le(bits, 4);
    }
    GgufWriter& f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return le(bits, 8);
    }
    // A u64 length and the bytes (two fields).
    GgufWriter& str(const std::string& s) {
        u64(s.size());
        return raw(s);
    }

    // Key, type and a string value.
    GgufWriter& kvString(const std::string& key, const std::string& value) { return str(key).u32(kString).str(value); }
    GgufWriter& kvU32(const std::string& key, uint32_t value) { return str(key).u32(kUint32).u32(value); }
    GgufWriter& kvBool(const std::string& key, bool value) { return str(key).u32(kBool).u8(value ? 1 : 0); }
    // An array of strings "t0", "t1", ...
    GgufWriter& kvStringArray(const std::string& key, uint64_t count) {
        str(key).u32(kArray).u32(kString).u64(count);
        for (uint64_t i = 0; i < count; ++i) str("t" + std::to_string(i));
        return *this;
    }
    // A tensor info with the given dimensions.
    GgufWriter& tensor(const std::string& name, const std::vector<uint64_t>& dims) {
        str(name).u32(static_cast<uint32_t>(dims.size()));
        for (uint64_t d : dims) u64(d);
        return u32(1).u64(0);
    }

    const std::string& bytes() const { return data_; }
    // Offsets where a field ends; cutting the file there truncates it at a
    // field boundary.
    const std::vector<size_t>& fieldEnds() const { return ends_; }

    void writeTo(const std::string& path, size_t length = std::string::npos) const {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        const size_t n = std::min(length, data_.size());
        std::fwrite(data_.data(), 1, n, f);
        std::fclose(f);
    }

private:
    GgufWriter& le(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) data_ += static_cast<char>((v >> (8 * i)) & 0xFF);
        mark();
        return *this;
    }
    void mark() { ends_.push_back(data_.size()); }

    std::string data_;
    std::vector<size_t> ends_;
};
