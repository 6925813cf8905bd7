// Placement of media model modules, the quantisation check of safetensors
// files and the RAM check of weights kept in memory.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/mivrel_exception.h"
#include "media/media_placement.h"
#include "media/safetensors_quant.h"
#include "support/temp_dir.h"

namespace {

std::vector<GpuDevice> oneGpu() {
    GpuDevice gpu;
    gpu.index = 0;
    gpu.name = "CUDA0";
    return {gpu};
}

std::vector<GpuDevice> twoGpus() {
    GpuDevice first;
    first.index = 0;
    first.name = "CUDA0";
    first.freeBytes = 1;
    GpuDevice second;
    second.index = 1;
    second.freeBytes = 5;  // no name: shown as CUDA<index>
    return {first, second};
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        return e.message;
    }
    return "(no exception)";
}

TEST(MediaPlacement, RolesAndTheirModules) {
    const std::pair<const char*, const char*> rows[] = {
        {"diffusion_model", "diffusion"}, {"model", "diffusion"}, {"high_noise_diffusion_model", "diffusion"},
        {"vae", "vae"}, {"audio_vae", "vae"}, {"taesd", "vae"}, {"llm", "te"}, {"clip_l", "te"}, {"clip_g", "te"},
        {"t5xxl", "te"}, {"embeddings_connectors", "te"}, {"llm_vision", "clip_vision"},
        {"clip_vision", "clip_vision"}, {"mmproj", ""}, {"", ""}, {"VAE", ""},
    };
    for (const auto& [role, module] : rows) EXPECT_EQ(placementModuleOfRole(role), module) << role;
}

TEST(MediaPlacement, DeviceNames) {
    struct Row {
        const char* value;
        bool storage;
        const char* name;
    } rows[] = {
        {"auto", false, "auto"}, {" AUTO ", true, "auto"}, {"cpu", false, "CPU"}, {"Cpu", true, "CPU"},
        {"ram", true, "CPU"},    {"ram", false, ""},       {"disk", true, "disk"}, {"disk", false, ""},
        {"gpu", false, "CUDA0"}, {"gpu0", true, "CUDA0"}, {"vram", true, ""},     {"", false, ""},
    };
    for (const Row& r : rows) EXPECT_EQ(mediaDeviceName(r.value, r.storage, oneGpu()), r.name) << r.value;
    // "gpu" takes the most free memory; a GPU without a name is CUDA<index>.
    EXPECT_EQ(mediaDeviceName("gpu", false, twoGpus()), "CUDA1");
    EXPECT_EQ(mediaDeviceName("gpu1", false, twoGpus()), "CUDA1");
    EXPECT_NE(messageOf([] { mediaDeviceName("gpu", false, {}); }), "(no exception)");
    EXPECT_EQ(messageOf([] { mediaDeviceName("gpu3", true, oneGpu()); }), "gpu3 not found (available: gpu0)");
}

TEST(MediaPlacement, SettingsBecomeLibraryText) {
    struct Row {
        nlohmann::json value;
        bool storage;
        const char* text;
    } rows[] = {
        {nullptr, false, ""},
        {"auto", false, ""},
        {{{"*", "auto"}}, true, ""},
        {"gpu", false, "*=CUDA0"},
        {{{"vae", "cpu"}, {"diffusion", "gpu0"}}, false, "diffusion=CUDA0,vae=CPU"},
        {{{"*", "ram"}, {"te", "disk"}, {"clip_vision", "auto"}}, true, "*=CPU,te=disk"},
        {{{"*", "cpu"}}, true, "*=CPU"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(parseMediaWeights(r.value, r.storage ? "weights" : "placement", r.storage, oneGpu()), r.text)
            << r.value.dump();
    }
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[] { parseMediaWeights({{"vae", "ram"}}, "placement", false, oneGpu()); },
         "invalid placement.vae: \"ram\" (use auto, gpu, gpuN, cpu)"},
        {[] { parseMediaWeights({{"vae", 3}}, "weights", true, oneGpu()); },
         "invalid weights.vae: 3 (use auto, gpu, gpuN, ram, disk)"},
        {[] { parseMediaWeights({{"unet", "ram"}}, "weights", true, oneGpu()); },
         "unknown module in weights: \"unet\" (use *, diffusion, te, vae, clip_vision)"},
        {[] { parseMediaWeights(7, "weights", true, oneGpu()); },
         "\"weights\" must be a string or an object (module -> device)"},
        {[] { parseMediaWeights("gpu2", "placement", false, oneGpu()); }, "gpu2 not found (available: gpu0)"},
    };
    for (const auto& [action, message] : refusals) EXPECT_EQ(messageOf(action), message);
}

TEST(MediaPlacement, RamNeedAndCheck) {
    TempDir dir;
    writeTextFile(dir.file("unet.gguf"), std::string(1000, 'u'));
    writeTextFile(dir.file("vae.gguf"), std::string(100, 'v'));
    writeTextFile(dir.file("te.gguf"), std::string(10, 't'));
    const std::map<std::string, std::string> files = {
        {"diffusion_model", dir.file("unet.gguf")}, {"vae", dir.file("vae.gguf")}, {"clip_l", dir.file("te.gguf")},
        {"t5xxl", dir.file("missing.gguf")}};
    struct Row {
        nlohmann::json weights;
        uint64_t need;
    } rows[] = {
        {"ram", 1110},
        {"cpu", 1110},
        {{{"*", "ram"}, {"diffusion", "gpu"}}, 110},
        {{{"vae", "ram"}}, 100},
        {{{"*", "disk"}, {"te", "ram"}}, 10},
        {"auto", 0},
        {nullptr, 0},
        {5, 0},
    };
    for (const Row& r : rows) EXPECT_EQ(weightsRamNeed(r.weights, files, oneGpu()), r.need) << r.weights.dump();

    EXPECT_NO_THROW(checkWeightsFitRam(0, 10));
    EXPECT_NO_THROW(checkWeightsFitRam(100, 0)) << "unknown memory lets it pass";
    EXPECT_NO_THROW(checkWeightsFitRam(100, 100));
    EXPECT_EQ(messageOf([] { checkWeightsFitRam(3ull << 30, 1ull << 30); }),
              "weights placed in RAM (3.0 GB) exceed available RAM (1.0 GB) \xE2\x80\x94 set \"mmap\": true, or "
              "remove \"weights\" to use automatic placement");
}

// A safetensors file: header JSON, then the given data bytes.
void writeSafetensors(const std::string& path, const nlohmann::json& header, const std::string& data) {
    const std::string text = header.dump();
    std::ofstream out(path, std::ios::binary);
    const uint64_t n = text.size();
    for (int i = 0; i < 8; ++i) out.put(static_cast<char>((n >> (8 * i)) & 0xFF));
    out << text << data;
}

nlohmann::json quantEntry(size_t begin, size_t end) {
    return {{"dtype", "U8"}, {"shape", {end - begin}}, {"data_offsets", {begin, end}}};
}

TEST(SafetensorsQuant, FormatsOfComfyQuantEntries) {
    TempDir dir;
    const std::string int8 = R"({"format":"int8_tensorwise"})";
    const std::string fp8 = R"({"format":"float8_e4m3fn"})";
    const std::string noFormat = R"({"group_size":64})";
    const std::string w4 = R"({"format":"convrot_w4a4"})";
    const std::string data = int8 + fp8 + noFormat + w4;
    const size_t a = int8.size(), b = a + fp8.size(), c = b + noFormat.size(), d = c + w4.size();
    struct Case {
        const char* name;
        nlohmann::json header;
        std::set<std::string> formats;
    } cases[] = {
        {"accepted", {{"a.weight.comfy_quant", quantEntry(0, a)}, {"b.weight.comfy_quant", quantEntry(c, d)}}, {}},
        {"unsupported and unknown",
         {{"a.weight.comfy_quant", quantEntry(0, a)},
          {"b.weight.comfy_quant", quantEntry(a, b)},
          {"c.weight.comfy_quant", quantEntry(b, c)}},
         {"(unknown)", "float8_e4m3fn"}},
        {"other keys ignored", {{"weight", quantEntry(a, b)}, {".comfy_quant", quantEntry(a, b)}}, {}},
        {"bad offsets skipped",
         {{"x.comfy_quant", {{"data_offsets", {b, a}}}},
          {"y.comfy_quant", {{"data_offsets", {0, 5000}}}},
          {"z.comfy_quant", {{"data_offsets", {a}}}},
          {"w.comfy_quant", {{"data_offsets", {"0", "5"}}}}},
         {}},
    };
    for (const Case& k : cases) {
        writeSafetensors(dir.file("m.safetensors"), k.header, data);
        EXPECT_EQ(readSafetensorsQuantFormat(dir.file("m.safetensors")), k.formats) << k.name;
    }
    // An entry past the end of the file ends the scan with what was found.
    writeSafetensors(dir.file("cut.safetensors"),
                     {{"a.comfy_quant", quantEntry(a, b)}, {"b.comfy_quant", quantEntry(d + 10, d + 20)}}, data);
    EXPECT_EQ(readSafetensorsQuantFormat(dir.file("cut.safetensors")), std::set<std::string>{"float8_e4m3fn"});
    // Files that are not safetensors tell nothing.
    writeTextFile(dir.file("text.safetensors"), "hello, this is no model file");
    EXPECT_TRUE(readSafetensorsQuantFormat(dir.file("text.safetensors")).empty());
    EXPECT_TRUE(readSafetensorsQuantFormat(dir.file("absent.safetensors")).empty());
    writeSafetensors(dir.file("array.safetensors"), nlohmann::json::array({1, 2}), "");
    EXPECT_TRUE(readSafetensorsQuantFormat(dir.file("array.safetensors")).empty());
}

}  // namespace
