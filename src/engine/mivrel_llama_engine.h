// MivrelLlamaEngine: the common base of every engine that runs a GGUF model
// through llama.cpp. It owns the three library handles of one loaded model
// (model, inference context, optional multimodal projector) and does what all
// such engines share: loading with a placement decision, the projector, the
// context, tokenizing, context statistics and the read-only model views.
//
// States: new (nothing) -> loaded (loadModel) -> ready (initContext).
// unloadModel returns to new; freeContext returns from ready to loaded.
//
// Thread-safety: REQUIRES external synchronization (one user at a time, which
// the instance's claim ensures). The engine starts no thread of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/gpu_devices.h"
#include "engine/llama_handles.h"
#include "engine/load_settings.h"
#include "engine/mivrel_engine.h"

class MivrelLlamaEngine : public MivrelEngine {
public:
    // Runs initLlamaBackendOnce; the backends stay initialised for the life of
    // the process (no engine ever frees them).
    MivrelLlamaEngine();
    // Frees context, projector and model, in that order.
    ~MivrelLlamaEngine() override;

    // Loads the model file (the "model" entry of the model's "files" when it
    // names one, else settings.modelPath) with the placement of the settings,
    // then the projector. A loaded engine logs a warning and ignores the call.
    // Throws MivrelException LoadFailed on any failure and then holds no model.
    void loadModel(const ModelLoadSettings& settings) override;
    // Frees context, projector and model. Never throws.
    void unloadModel() override;
    // Replaces the context; nCtx is lowered to the model's trained context.
    // Throws MivrelException NotLoaded without a model, ContextFailed when the library fails (the
    // engine then stays loaded without a context).
    void initContext(const ContextSettings& settings) override;

    // The empty record / list without a model. Never throw.
    ModelInfo getModelInfo() override;
    std::vector<TensorInfo> listTensors(int32_t layer) override;

    // All zero without a context. Never throws.
    ContextStats getContextStats() override;
    int nPast() override;
    int nCtx() override;
    size_t maxInputBytes() override;

    // The model's special tokens are added and special texts parsed. Throws
    // MivrelException NotLoaded without a model, LimitExceeded when the
    // tokenizer fails, RuntimeFailed "tokenize stopped" when the instance's
    // stop flag (abortFlag) is set before or while it works: a text of more than a megabyte is tokenized in
    // pieces where the vocabulary allows it (piecewise_tokenizer.h), with the
    // same tokens, and the flag is read between pieces.
    std::vector<int32_t> tokenizePrompt(const std::string& prompt, const TokenCallback& onToken = {}) override;
    // As tokenizePrompt with the caller's flags and no log lines.
    std::vector<int32_t> tokenizeText(const std::string& text, bool addSpecial, bool parseSpecial) override;
    // Texts longer than `bytes` are tokenized in pieces of about that size
    // (where the vocabulary allows it), so a stop is seen between two pieces;
    // a megabyte unless set, 0 restores that. REQUIRES: no tokenizing runs.
    void setTokenizePieceBytes(size_t bytes) { tokenizePieceBytes_ = bytes == 0 ? kDefaultTokenizePieceBytes : bytes; }
    static constexpr size_t kDefaultTokenizePieceBytes = size_t{1} << 20;

    bool supportsImageInput() override;
    bool supportsAudioInput() override;

    // Hooks for the engines built on this one.
    // Changes the library's context parameters before the context is made.
    virtual void adjustContextParams(llama_context_params& params);
    // Runs right after a context was made.
    virtual void onContextCreated();
    // Frees the context when there is one; nPast becomes 0.
    virtual void freeContext();
    // Loads the projector the model properties name ("mmproj"), if any.
    // Throws MivrelException LoadFailed.
    virtual void loadProjector();

    // The model's vocabulary; null without a model.
    const llama_vocab* vocab() const;
    // The token's text with special tokens rendered; "" without a model or
    // when the library fails.
    std::string tokenText(int32_t token) const;
    // A metadata value of the model as text; "" without a model or when the
    // key is missing.
    std::string metaString(const std::string& key) const;
    // The VRAM pre-check of a GPU placement; throws MivrelException LoadFailed when
    // the estimate does not fit in the device's free memory.
    void checkVramBudget(const GpuDevice& device, const std::string& modelFile) const;

    // Read-only views for the owner and for tests.
    const ModelLoadSettings& loadSettings() const { return loadSettings_; }
    const ContextSettings& contextSettings() const { return contextSettings_; }
    ggml_backend_dev_t gpuDevice() const { return gpuDevice_; }
    llama_model* model() const { return model_.get(); }
    llama_context* context() const { return context_.get(); }

protected:
    LlamaModelPtr model_;
    LlamaContextPtr context_;
    MtmdContextPtr projector_;
    ModelLoadSettings loadSettings_;
    ggml_backend_dev_t gpuDevice_ = nullptr;  // not owned
    ContextSettings contextSettings_;
    size_t longestTokenBytes_ = 0;  // of the loaded vocabulary; 0 without a model
    bool tokenizesInPieces_ = false;  // of the loaded vocabulary
    size_t tokenizePieceBytes_ = kDefaultTokenizePieceBytes;
    int32_t nPast_ = 0;

private:
    // MivrelException RuntimeFailed "tokenize stopped" when abortFlag is set.
    void throwIfStopped() const;
    // The tokens of `text`, in pieces for a long text; `result` as the
    // library's second pass reports it (negative on failure).
    std::vector<int32_t> tokenizeStoppable(const std::string& text, bool addSpecial, bool parseSpecial,
                                           int32_t& result) const;
};

// The path of the file the model properties name for `role` ("model",
// "mmproj") inside settings.modelDir, or "" when they name none. Throws
// MivrelException LoadFailed "invalid file name in files.%s: %s" for an empty name or
// one holding a slash, a backslash or "..".
std::string resolveModelFile(const ModelLoadSettings& settings, const std::string& role);
