// AudioGenBackend: the one seam between the speech engine and the
// multimodal library's audio-generation functions. One backend owns one set
// of loaded audio-generation weights and, once a context exists, the speech
// generator made from them. The engine drives it; tests replace it with a
// scripted backend.
//
// Calling order: the loader makes a backend from a weights file; the engine
// reads info, voices and the clone flag; createGenerator once a llama context
// exists; then per job reset, setInput, stepPrompt until it reports 0,
// stepFrame and takeOutput per frame, flush and a last takeOutput.
//
// Thread-safety: REQUIRES external synchronization. The engine calls it from
// one thread at a time (its worker during a job, the managing thread
// otherwise, never both). Failures are result codes, never exceptions, except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <llama.h>

// A voice the generator can speak with: a predefined voice or a decoded
// speaker reference recording. Owned by whoever holds the unique_ptr; it
// must not outlive the backend that made it.
class AudioGenSpeaker {
public:
    AudioGenSpeaker() = default;
    AudioGenSpeaker(const AudioGenSpeaker&) = delete;
    AudioGenSpeaker& operator=(const AudioGenSpeaker&) = delete;
    virtual ~AudioGenSpeaker() = default;
};

// What the loaded weights are.
struct AudioGenInfo {
    int32_t kind = 0;        // model kind number; 0: no audio generation
    int32_t sampleRate = 0;  // Hz
    int32_t channels = 1;
    std::string variant;     // weight variant; empty when the weights name none
    int32_t voiceCount = 0;  // predefined voices
};

// The generator's input for one job. The speaker is not owned and must live
// until the job's last frame.
struct AudioGenInput {
    std::string text;
    const AudioGenSpeaker* speaker = nullptr;
    std::string referenceText;  // empty: none
    std::string lang;           // empty: the model's default
    float temperature = -1.0f;  // below 0: the model's default
    uint32_t seed = 0;
    float speed = 1.0f;
    float loudness = 0.0f;      // dB, 0 leaves the level alone
};

// How a speaker reference recording decoded.
enum class SpeakerDecode {
    Audio,     // a usable recording; the speaker is set
    NotAudio,  // the bytes are an image, a video or nothing the library reads
};

class AudioGenBackend {
public:
    AudioGenBackend() = default;
    AudioGenBackend(const AudioGenBackend&) = delete;
    AudioGenBackend& operator=(const AudioGenBackend&) = delete;
    // Frees the generator, then the weights.
    virtual ~AudioGenBackend() = default;

    virtual AudioGenInfo info() const = 0;
    // True when the weights accept a speaker reference recording.
    virtual bool acceptsSpeakerReference() const = 0;
    // The name of predefined voice `index`; false when there is none.
    virtual bool voiceName(int32_t index, std::string& name) const = 0;
    // The predefined voice of that name; null when the weights have none.
    virtual std::unique_ptr<AudioGenSpeaker> voice(const std::string& name) = 0;
    // Decodes a recording (a whole file's bytes) against the loaded weights.
    virtual SpeakerDecode decodeSpeakerReference(const std::vector<uint8_t>& bytes,
                                                 std::unique_ptr<AudioGenSpeaker>& speaker) = 0;

    // Makes the generator for `context` (not owned; it must outlive the
    // generator). False when the weights cannot generate in that context.
    virtual bool createGenerator(llama_context* context) = 0;
    // Frees the generator; nothing without one.
    virtual void freeGenerator() = 0;
    virtual bool hasGenerator() const = 0;

    // Forgets the previous job: prompt, frames and produced samples.
    virtual void reset() = 0;
    // 0 when accepted; 2 when the generator cannot apply the speed or the
    // loudness; any other value when it refuses the input.
    virtual int32_t setInput(const AudioGenInput& input) = 0;
    // Processes at most nBatch prompt tokens: above 0 more remain, 0 the
    // prompt is done, below 0 it failed.
    virtual int32_t stepPrompt(int32_t nBatch) = 0;
    // Generates one frame from the sampled text token (-1 when none) and the
    // text model's hidden state. Sets *nextHidden to the hidden state of the
    // next step, or null when no frame was made, and *done at the end of
    // speech. Non-zero on failure.
    virtual int32_t stepFrame(llama_token token, const float* hidden, const float** nextHidden, bool* done) = 0;
    // Appends the interleaved float samples produced since the last call;
    // every sample is handed out once. Non-zero on failure.
    virtual int32_t takeOutput(std::vector<float>& samples) = 0;
    // Turns whatever the generator still holds into samples for the next
    // takeOutput. Non-zero on failure.
    virtual int32_t flush() = 0;
};

// Where the weights come from and how they are placed.
struct AudioGenLoadRequest {
    std::string path;                       // the weights file
    const llama_model* model = nullptr;     // the loaded text model, not owned
    bool useGpu = false;
    ggml_backend_dev_t device = nullptr;    // null: the library's choice
};

// Makes a backend from a weights file; null (with the reason logged) when
// the file cannot be loaded. A backend whose info kind is 0 loaded but
// cannot generate audio. Safe from any thread.
using AudioGenLoader = std::function<std::unique_ptr<AudioGenBackend>(const AudioGenLoadRequest& request)>;
