// A media model for the engine tests: a folder with a model card file that
// the stand-in library reads (which kinds it makes, its version name), the
// load settings pointing at it, and an instance store.
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "engine/load_settings.h"
#include "storage/file_store.h"
#include "support/temp_dir.h"

struct MediaTestModel {
    TempDir dir;
    ModelLoadSettings settings;
    FileStore store;
    StorageKey key;

    // `card` is the stand-in's model card (written as "unet.gguf"); `props`
    // is merged over {"familyType", "files": {"diffusion_model": "unet.gguf"}}.
    explicit MediaTestModel(const nlohmann::json& card = {{"version", "standin-test"}},
                            const nlohmann::json& props = nlohmann::json::object(),
                            const nlohmann::json& params = nlohmann::json::object()) {
        writeTextFile(dir.file("unet.gguf"), card.dump());
        settings.modelDir = dir.path();
        settings.modelProperties = {{"files", {{"diffusion_model", "unet.gguf"}}}};
        settings.modelProperties.update(props);
        settings.params = params;
        store.configure(dir.file("store/storage.kvx"), false);
        key = store.open("", true);
    }

    // Stores `bytes` as `name` in the instance store.
    void put(const std::string& name, const std::vector<uint8_t>& bytes) {
        store.containerForTesting().write(name, std::span<const uint8_t>(bytes), "", 0, key);
    }
};
