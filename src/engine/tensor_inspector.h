// Per-tensor facts of a loaded llama model: name, layer, element type,
// shape, size, the device whose buffer holds it and whether that buffer is
// readable from host memory. The public llama API has no tensor listing, so
// this layer reads the loaded model's own tensor table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <llama.h>

// One tensor, a plain record.
struct TensorInspectorRecord {
    char name[256];
    int32_t layer;          // N of a "blk.N." name; -1 for tensors of no layer
    char typeName[40];
    uint64_t shape[4];
    uint64_t byteSize;
    char deviceName[144];   // the holding device ("CPU", "CUDA0"), meaningful only when deviceKnown
    int32_t hostAccessible;
    int32_t deviceKnown;
};

// The number of tensors of `model`; 0 for null. Never throws.
uint64_t tensorInspectorCount(const llama_model* model);

// Fills `record` for tensor `index` (0 .. count - 1) and returns 1, or 0 for
// a null model or an index out of range. Never throws.
int32_t tensorInspectorInfo(const llama_model* model, uint64_t index, TensorInspectorRecord* record);

// The layer index of a tensor name "blk.N.<rest>", or -1.
int32_t tensorLayerFromName(const char* name);

// The device text of each layer 0 .. nLayer - 1 from the records of all
// tensors: "UNKNOWN" when none of its tensors was seen, the one device name
// when all agree ("UNKNOWN" stands for a record whose device is not known),
// "MIXED" otherwise. Records of no layer are ignored.
std::vector<std::string> layerDevices(const std::vector<TensorInspectorRecord>& records, int32_t nLayer);
