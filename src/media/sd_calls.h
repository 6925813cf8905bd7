// Calls into the media library through SdLibrary::instance(): its status
// codes turned into errors, the option setters, and one owner per kind of
// handle the server creates, so every handle is freed exactly once on every
// path. REQUIRES: SdLibrary::instance().loaded (callers check it once before
// they make the first handle). Safe from any thread; the handles themselves
// are used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/video_frame.h"
#include "media/sd_library.h"

// The library's last error text, or "unknown error" when it has none (also
// when the library is not loaded). Never throws.
std::string sdLastError();

// Nothing for status 0; otherwise throws std::runtime_error
// what + ": " + sdLastError() + " (status " + status + ")".
void checkSdStatus(int32_t status, const std::string& what);

// Set one option; a non-zero status throws as checkSdStatus with the text
// "sd.cpp option " + name.
void setSdOptionBool(sd_opt* options, const std::string& name, bool value);
void setSdOptionInt(sd_opt* options, const std::string& name, int64_t value);
void setSdOptionFloat(sd_opt* options, const std::string& name, double value);
void setSdOptionString(sd_opt* options, const std::string& name, const std::string& value);

struct SdOptionsFree {
    void operator()(sd_opt* options) const;
};
struct SdResultFree {
    void operator()(sd_result* result) const;
};
using SdOptionsPtr = std::unique_ptr<sd_opt, SdOptionsFree>;
using SdResultPtr = std::unique_ptr<sd_result, SdResultFree>;

// Tensors the server made for one generation; each is freed when the list
// ends. The library only borrows them while options refer to them, so the
// list must outlive the generation call and its result.
class SdTensorList {
public:
    SdTensorList() = default;
    ~SdTensorList();
    SdTensorList(const SdTensorList&) = delete;
    SdTensorList& operator=(const SdTensorList&) = delete;

    // Takes ownership of `tensor` (not null).
    void add(sd_tensor* tensor) { tensors_.push_back(tensor); }
    sd_tensor* const* data() const { return tensors_.data(); }
    size_t size() const { return tensors_.size(); }
    bool empty() const { return tensors_.empty(); }

private:
    std::vector<sd_tensor*> tensors_;
};

// An image (or video frame) tensor of a result as a frame record: channels,
// width and height from dimensions 0, 1 and 2 and its data. An empty record
// (no pixels) for a null tensor, another rank, no data, or a channel count
// outside 1..4.
VideoFrame imageOfSdTensor(const sd_tensor* tensor);
