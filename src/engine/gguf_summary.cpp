#include "engine/gguf_reader.h"

#include "base/text_util.h"

namespace {

void copyIfPresent(const nlohmann::ordered_json& metadata, const std::string& key, const char* as,
                   nlohmann::ordered_json& summary) {
    auto it = metadata.find(key);
    if (it != metadata.end()) summary[as] = *it;
}

}  // namespace

nlohmann::ordered_json summarizeGguf(const GgufHeader& header) {
    const nlohmann::ordered_json& meta = header.metadata;
    nlohmann::ordered_json summary = nlohmann::ordered_json::object();
    std::string arch;
    if (auto it = meta.find("general.architecture"); it != meta.end() && it->is_string()) {
        arch = it->get<std::string>();
    }
    copyIfPresent(meta, "general.architecture", "architecture", summary);
    copyIfPresent(meta, "general.name", "name", summary);
    copyIfPresent(meta, "general.size_label", "size_label", summary);
    summary["parameters"] = header.parameterCount;
    copyIfPresent(meta, "general.file_type", "file_type", summary);
    if (!arch.empty()) {
        copyIfPresent(meta, arch + ".context_length", "context_length", summary);
        copyIfPresent(meta, arch + ".block_count", "block_count", summary);
        copyIfPresent(meta, arch + ".embedding_length", "embedding_length", summary);
        copyIfPresent(meta, arch + ".attention.head_count", "head_count", summary);
        copyIfPresent(meta, arch + ".attention.head_count_kv", "head_count_kv", summary);
    }
    copyIfPresent(meta, "tokenizer.ggml.model", "tokenizer", summary);
    if (auto it = meta.find("tokenizer.ggml.tokens"); it != meta.end()) {
        if (it->is_object() && it->contains("count")) {
            summary["vocab_size"] = (*it)["count"];
        } else {
            summary["vocab_size"] = it->size();
        }
    }
    auto tmpl = meta.find("tokenizer.chat_template");
    const bool hasTemplate = tmpl != meta.end() && tmpl->is_string();
    summary["has_chat_template"] = hasTemplate;
    if (hasTemplate) summary["chat_template_length"] = tmpl->get_ref<const std::string&>().size();
    nlohmann::ordered_json named = nlohmann::ordered_json::array();
    const std::string prefix = "tokenizer.chat_template.";
    for (auto it = meta.begin(); it != meta.end(); ++it) {
        if (startsWith(it.key(), prefix)) named.push_back(it.key().substr(prefix.size()));
    }
    if (!named.empty()) summary["named_chat_templates"] = named;
    summary["gguf_version"] = header.version;
    summary["n_tensors"] = header.tensorCount;
    summary["metadata_keys"] = header.metadataCount;
    return summary;
}
