#include "engine/tensor_inspector.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include <ggml-backend.h>
#include <ggml.h>

// The loaded model's tensor table, kept by libllama in load order. It is a
// C++ function of the library (its own tools use it), not part of llama.h.
const std::vector<std::pair<std::string, ggml_tensor*>>& llama_internal_get_tensor_map(const llama_model* model);

namespace {

void copyText(char* out, size_t size, const char* text) {
    if (!text) text = "";
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
}

// The device whose memory holds `buffer`: the device of its buffer type.
// Buffer-type names ("CPU_Mapped", "CPU_REPACK") say how the memory was
// made, not where it is. The CPU backend's own host buffer types report no
// device; a host buffer without one is CPU memory. Null when unknown.
const char* bufferDeviceName(ggml_backend_buffer_t buffer) {
    ggml_backend_dev_t device = ggml_backend_buft_get_device(ggml_backend_buffer_get_type(buffer));
    if (!device && ggml_backend_buffer_is_host(buffer)) device = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    if (device) return ggml_backend_dev_name(device);
    return ggml_backend_buffer_is_host(buffer) ? "CPU" : nullptr;
}

}  // namespace

int32_t tensorLayerFromName(const char* name) {
    if (!name || std::strncmp(name, "blk.", 4) != 0) return -1;
    const char* p = name + 4;
    if (*p < '0' || *p > '9') return -1;
    int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) return -1;
        ++p;
    }
    return *p == '.' ? static_cast<int32_t>(value) : -1;
}

uint64_t tensorInspectorCount(const llama_model* model) {
    return model ? llama_internal_get_tensor_map(model).size() : 0;
}

int32_t tensorInspectorInfo(const llama_model* model, uint64_t index, TensorInspectorRecord* record) {
    if (!model || !record) return 0;
    const auto& tensors = llama_internal_get_tensor_map(model);
    if (index >= tensors.size()) return 0;
    const ggml_tensor* t = tensors[index].second;
    if (!t) return 0;
    std::memset(record, 0, sizeof(*record));
    copyText(record->name, sizeof(record->name), tensors[index].first.c_str());
    record->layer = tensorLayerFromName(record->name);
    copyText(record->typeName, sizeof(record->typeName), ggml_type_name(t->type));
    for (int i = 0; i < 4; ++i) record->shape[i] = static_cast<uint64_t>(t->ne[i]);
    record->byteSize = ggml_nbytes(t);
    if (t->buffer) {
        const char* device = bufferDeviceName(t->buffer);
        if (device && *device) {
            copyText(record->deviceName, sizeof(record->deviceName), device);
            record->deviceKnown = 1;
        }
        record->hostAccessible = ggml_backend_buffer_is_host(t->buffer) ? 1 : 0;
    }
    return 1;
}

std::vector<std::string> layerDevices(const std::vector<TensorInspectorRecord>& records, int32_t nLayer) {
    std::vector<std::set<std::string>> seen(nLayer > 0 ? static_cast<size_t>(nLayer) : 0);
    for (const TensorInspectorRecord& r : records) {
        if (r.layer < 0 || r.layer >= nLayer) continue;
        seen[static_cast<size_t>(r.layer)].insert(r.deviceKnown ? std::string(r.deviceName) : "UNKNOWN");
    }
    std::vector<std::string> out;
    out.reserve(seen.size());
    for (const std::set<std::string>& devices : seen) {
        if (devices.empty()) out.push_back("UNKNOWN");
        else if (devices.size() == 1) out.push_back(*devices.begin());
        else out.push_back("MIXED");
    }
    return out;
}
