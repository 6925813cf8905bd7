#include "engine/decision_prompt.h"

#include <algorithm>

#include "base/logger.h"
#include "engine/mivrel_exception.h"

using ojson = nlohmann::ordered_json;

namespace {

void appendSpaced(const ojson& value, std::string& out) {
    if (value.is_object()) {
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ", ";
            first = false;
            out += ojson(it.key()).dump();
            out += ": ";
            appendSpaced(it.value(), out);
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        bool first = true;
        for (const ojson& item : value) {
            if (!first) out += ", ";
            first = false;
            appendSpaced(item, out);
        }
        out += ']';
    } else {
        out += value.dump();
    }
}

}  // namespace

std::string decisionValueText(const ojson& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    std::string out;
    appendSpaced(value, out);
    return out;
}

bool decisionValueTruthy(const ojson& value) {
    switch (value.type()) {
        case ojson::value_t::null: return false;
        case ojson::value_t::string: return !value.get_ref<const std::string&>().empty();
        case ojson::value_t::object:
        case ojson::value_t::array: return !value.empty();
        case ojson::value_t::boolean: return value.get<bool>();
        case ojson::value_t::number_integer: return value.get<int64_t>() != 0;
        case ojson::value_t::number_unsigned: return value.get<uint64_t>() != 0;
        case ojson::value_t::number_float: return value.get<double>() != 0.0;  // NaN counts as given
        default: return true;
    }
}

std::string scrubMaskText(const std::string& text, const std::string& maskText) {
    if (maskText.empty()) return text;
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(maskText); at != std::string::npos; at = text.find(maskText, from)) {
        out.append(text, from, at - from);
        out += ' ';
        from = at + maskText.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

ojson scrubMaskText(const ojson& value, const std::string& maskText) {
    if (maskText.empty()) return value;
    if (value.is_string()) return scrubMaskText(value.get_ref<const std::string&>(), maskText);
    if (value.is_array()) {
        ojson out = ojson::array();
        for (const ojson& item : value) out.push_back(scrubMaskText(item, maskText));
        return out;
    }
    if (value.is_object()) {
        ojson out = ojson::object();
        for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = scrubMaskText(it.value(), maskText);
        return out;
    }
    return value;
}

std::unique_ptr<DecisionPromptRenderer> createDecisionPromptRenderer(const std::string& type) {
    if (type == "virl") return std::make_unique<VirlPromptRenderer>();
    logMessage(2, "[DecisionPrompt] 지원하지 않는 판정 타입: %s", type.c_str());
    return nullptr;
}

std::string VirlPromptRenderer::renderQuestion(const DecisionPromptInput& question,
                                               const DecisionModelInfo& info) const {
    const std::string& mask = info.maskText;
    const std::string instructions = decisionValueText(scrubMaskText(question.instructions, mask));
    const std::string context = decisionValueText(scrubMaskText(question.context, mask));
    const bool simpleStyle =
        !info.templateText.empty() && info.templateText.find("type == 'score'") == std::string::npos;

    std::string out = info.clsPrefix + question.type + " question: " + instructions + info.sepText;
    for (const auto& [rawKey, rawValue] : question.options) {
        const std::string key = scrubMaskText(rawKey, mask);
        const ojson value = scrubMaskText(rawValue, mask);
        const bool given = decisionValueTruthy(value);
        std::string text;
        if (simpleStyle) {
            text = given ? decisionValueText(value) : key;
        } else if (question.type == "choice") {
            text = key;
            if (given) text += ": " + decisionValueText(value);
        } else if (question.type == "score") {
            text = "level " + key + ": " + decisionValueText(value);
        } else {
            text = key + ": ";
            if (given) text += decisionValueText(value);
            else text += key == "true" ? "yes, the statement holds" : "no, the statement does not hold";
        }
        out += mask + " " + text;
    }
    out += info.sepText + context + info.sepText;
    return out;
}

DecisionLayout VirlPromptRenderer::layoutTokens(const std::vector<int32_t>& tokens, size_t choices,
                                                const DecisionModelInfo& info) const {
    const size_t n = tokens.size();
    std::vector<size_t> masks;
    for (size_t i = 0; i < n; ++i) {
        if (tokens[i] == info.maskToken) masks.push_back(i);
    }
    if (masks.size() != choices || choices == 0 || masks[0] < 2 || tokens[masks[0] - 1] != info.sepToken ||
        tokens[n - 1] != info.sepToken) {
        throw MivrelException(MivrelErrorCode::BadInput, "unexpected decision prompt layout (markers=%zu, choices=%zu)", masks.size(), choices);
    }
    size_t d = masks[choices - 1];
    while (tokens[d] != info.sepToken) ++d;  // stops at n - 1 at the latest
    if (d == n - 1) throw MivrelException(MivrelErrorCode::BadInput, "unexpected decision prompt layout (no [SEP] after choices)");

    std::vector<size_t> spanLength(choices);
    for (size_t i = 0; i < choices; ++i) {
        const size_t end = i + 1 < choices ? masks[i + 1] : d;
        spanLength[i] = end - masks[i];
    }
    const uint64_t maxHead = info.maxHeadTokens;
    auto cutAll = [&spanLength](uint64_t limit) {
        uint64_t total = 0;
        for (size_t& len : spanLength) {
            if (len > limit) len = static_cast<size_t>(limit);
            total += len;
        }
        return total;
    };
    uint64_t total = cutAll(info.maxChoiceTokens + 1);
    if (total + 16 > maxHead) {
        const uint64_t limit = std::max<uint64_t>((maxHead - std::min<uint64_t>(maxHead, 16)) / choices, 4);
        total = cutAll(limit);
    }
    const uint64_t headBudget = std::max<uint64_t>(maxHead - std::min(total, maxHead), 8);

    DecisionLayout layout;
    layout.tokens.reserve(n);
    layout.tokens.push_back(tokens[0]);
    const size_t questionTokens = masks[0] - 2;  // between the first token and the separator
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(headBudget, questionTokens));
    layout.tokens.insert(layout.tokens.end(), tokens.begin() + 1, tokens.begin() + 1 + static_cast<ptrdiff_t>(keep));
    layout.tokens.push_back(info.sepToken);
    for (size_t i = 0; i < choices; ++i) {
        layout.markers.push_back(static_cast<int32_t>(layout.tokens.size()));
        const auto from = tokens.begin() + static_cast<ptrdiff_t>(masks[i]);
        layout.tokens.insert(layout.tokens.end(), from, from + static_cast<ptrdiff_t>(spanLength[i]));
    }
    layout.tokens.insert(layout.tokens.end(), tokens.begin() + static_cast<ptrdiff_t>(d), tokens.end());
    layout.column = 0;
    layout.truncated = layout.tokens.size() < n;
    logMessage(9, "[DecisionPrompt] virl layout: tokens %zu \xE2\x86\x92 %zu, markers=%zu, truncated=%s", n,
               layout.tokens.size(), layout.markers.size(), layout.truncated ? "true" : "false");
    return layout;
}
