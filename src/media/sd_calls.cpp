#include "media/sd_calls.h"

#include <climits>
#include <stdexcept>

std::string sdLastError() {
    const SdLibrary& library = SdLibrary::instance();
    if (library.fn.getLastError) {
        const char* text = library.fn.getLastError();
        if (text && *text) return text;
    }
    return "unknown error";
}

void checkSdStatus(int32_t status, const std::string& what) {
    if (status == 0) return;
    throw std::runtime_error(what + ": " + sdLastError() + " (status " + std::to_string(status) + ")");
}

void setSdOptionBool(sd_opt* options, const std::string& name, bool value) {
    checkSdStatus(SdLibrary::instance().fn.optSetBool(options, name.c_str(), value), "sd.cpp option " + name);
}

void setSdOptionInt(sd_opt* options, const std::string& name, int64_t value) {
    checkSdStatus(SdLibrary::instance().fn.optSetInt(options, name.c_str(), value), "sd.cpp option " + name);
}

void setSdOptionFloat(sd_opt* options, const std::string& name, double value) {
    checkSdStatus(SdLibrary::instance().fn.optSetFloat(options, name.c_str(), value), "sd.cpp option " + name);
}

void setSdOptionString(sd_opt* options, const std::string& name, const std::string& value) {
    checkSdStatus(SdLibrary::instance().fn.optSetString(options, name.c_str(), value.c_str()),
                  "sd.cpp option " + name);
}

void SdOptionsFree::operator()(sd_opt* options) const {
    if (options) SdLibrary::instance().fn.optFree(options);
}

void SdResultFree::operator()(sd_result* result) const {
    if (result) SdLibrary::instance().fn.resultFree(result);
}

SdTensorList::~SdTensorList() {
    const SdLibrary& library = SdLibrary::instance();
    for (sd_tensor* tensor : tensors_) library.fn.tensorFree(tensor);
}

VideoFrame imageOfSdTensor(const sd_tensor* tensor) {
    VideoFrame frame;
    if (!tensor) return frame;
    const SdFunctions& fn = SdLibrary::instance().fn;
    if (fn.tensorRank(tensor) != 3) return frame;
    const int64_t channels = fn.tensorDim(tensor, 0);
    const int64_t width = fn.tensorDim(tensor, 1);
    const int64_t height = fn.tensorDim(tensor, 2);
    if (channels < 1 || channels > 4 || width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
        return frame;
    }
    const void* data = fn.tensorData(tensor);
    if (!data) return frame;
    frame.channels = static_cast<uint32_t>(channels);
    frame.width = static_cast<uint32_t>(width);
    frame.height = static_cast<uint32_t>(height);
    frame.pixels = static_cast<const uint8_t*>(data);
    return frame;
}
