// The audio-generation backend over the multimodal library of the llama.cpp
// release we build. That release knows two model kinds (1 and 2), mono
// output, no predefined voices, no speed or loudness control, no
// temperature or reference transcript in its input record, and a generator
// whose output call hands back everything produced so far. The backend
// fills those gaps: it hands out only samples not handed out before, reports
// no voices, refuses a speed other than 1 or a loudness other than 0 with
// result 2, and ignores the temperature and the transcript.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <mtmd-helper.h>

#include "speech/audio_gen_backend.h"

// The loader of the real backend (mtmd_init_from_file with timings and
// warm-up off).
AudioGenLoader mtmdAudioGenLoader();

// Hands out the new tail of a buffer that only grows between resets: what
// the release's output call returns. Plain value; not thread-safe.
class NewSampleCursor {
public:
    // Appends the floats of `data` (`bytes` long, whole floats only) past
    // those already handed out. A buffer shorter than before (the generator
    // was reset) starts over from its beginning.
    void take(const char* data, size_t bytes, std::vector<float>& out);
    void reset() { handedOut_ = 0; }
    size_t handedOut() const { return handedOut_; }

private:
    size_t handedOut_ = 0;
};

// The release's input record for `input`. Returns 2 (and leaves `record`
// unspecified) when the input asks for a speed or loudness the release
// cannot apply; otherwise 0. `speaker` is the decoded bitmap or null.
int32_t fillReleaseInput(const AudioGenInput& input, mtmd_bitmap* speaker, mtmd_helper_gen_audio_inp& record);
