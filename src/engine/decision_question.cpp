// Question model, validation, normalisation and the answer document of the
// decision endpoints; the judge functions are in decision_judge.cpp.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/decision_scoring.h"
#include "engine/mivrel_exception.h"

using ojson = nlohmann::ordered_json;

std::string decisionTypeName(int32_t type) {
    switch (type) {
        case kDecisionChoice: return "choice";
        case kDecisionScore: return "score";
        case kDecisionNoul: return "noul";
        default: return "";
    }
}

std::string jsonToText(const ojson& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return value.dump();
}

namespace {

[[noreturn]] void refuseQuestion(const std::string& name, const std::string& reason) {
    throw std::invalid_argument("questions." + name + ": " + reason);
}

DecisionQuestion validateQuestion(const std::string& name, const ojson& q, unsigned maxOptions) {
    if (!q.is_object()) refuseQuestion(name, "must be an object");
    auto instructions = q.find("instructions");
    if (instructions == q.end() || instructions->is_null()) refuseQuestion(name, "\"instructions\" must be provided");

    DecisionQuestion question;
    question.name = name;
    question.instructions = *instructions;
    auto typeIt = q.find("type");
    const std::string typeText = typeIt != q.end() && typeIt->is_string() ? typeIt->get<std::string>() : "";
    auto criteriaIt = q.find("criteria");
    const ojson criteria = criteriaIt != q.end() ? *criteriaIt : ojson();

    if (typeText == "choice") {
        if (!criteria.is_object() || criteria.empty()) refuseQuestion(name, "\"criteria\" must be a non-empty object");
        question.type = kDecisionChoice;
        for (auto it = criteria.begin(); it != criteria.end(); ++it) question.options.emplace_back(it.key(), it.value());
    } else if (typeText == "score") {
        if (!criteria.is_array() || criteria.size() < 2 || criteria.size() > 10) {
            refuseQuestion(name, "\"criteria\" must be an array of 2 to 10 levels");
        }
        question.type = kDecisionScore;
        for (size_t i = 0; i < criteria.size(); ++i) question.options.emplace_back(std::to_string(i), criteria[i]);
    } else if (typeText == "noul") {
        if (!criteria.is_null() && !criteria.is_object()) refuseQuestion(name, "\"criteria\" must be an object");
        question.type = kDecisionNoul;
        for (const char* key : {"false", "true"}) {
            ojson value;
            if (criteria.is_object()) {
                auto it = criteria.find(key);
                if (it != criteria.end()) value = *it;
            }
            question.options.emplace_back(key, value);
        }
    } else {
        refuseQuestion(name, "\"type\" must be one of: choice, score, noul");
    }
    if (question.options.size() > maxOptions) {
        refuseQuestion(name, "too many options (" + std::to_string(question.options.size()) +
                                 "), this Mivrel supports at most " + std::to_string(maxOptions));
    }
    return question;
}

}  // namespace

std::vector<DecisionQuestion> validateDecisionRequest(const ojson& body, unsigned maxOptions) {
    const ojson* questions = nullptr;
    if (body.is_object()) {
        auto it = body.find("questions");
        if (it != body.end()) questions = &*it;
    }
    if (!questions || !questions->is_object() || questions->empty()) {
        throw std::invalid_argument("\"questions\" must be a non-empty object");
    }
    std::vector<DecisionQuestion> out;
    for (auto it = questions->begin(); it != questions->end(); ++it) {
        out.push_back(validateQuestion(it.key(), it.value(), maxOptions));
    }
    return out;
}

void checkDecisionScores(const std::vector<float>& values, size_t expected) {
    if (values.size() != expected) {
        throw MivrelException(MivrelErrorCode::BadInput, "decision result does not match the number of options (%zu != %zu)", values.size(),
                              expected);
    }
    // An infinite score would turn the softmax into NaN as surely as a NaN.
    for (float v : values) {
        if (!std::isfinite(v)) throw MivrelException(MivrelErrorCode::BadInput, "the model could not evaluate the decision");
    }
}

std::vector<double> softmaxWithTemperature(const std::vector<float>& values, double temperature) {
    std::vector<double> out;
    if (values.empty()) return out;
    double m = values[0];
    for (float v : values) m = std::max(m, static_cast<double>(v));
    double sum = 0.0;
    out.reserve(values.size());
    for (float v : values) {
        const double e = std::exp((static_cast<double>(v) - m) / temperature);
        out.push_back(e);
        sum += e;
    }
    for (double& p : out) p /= sum;
    return out;
}

float lookupDecisionTemperature(const DecisionModelInfo& info, const std::string& typeName, unsigned optionCount) {
    const char* bucket = optionCount <= 2 ? "2" : optionCount <= 5 ? "3_5" : optionCount <= 10 ? "6_10" : "11";
    auto it = info.temperatures.find(typeName + "." + bucket);
    if (it != info.temperatures.end()) return it->second;
    it = info.temperatures.find(typeName);
    if (it != info.temperatures.end()) return it->second;
    return 1.0f;
}

size_t decisionBestIndex(const std::vector<double>& probabilities) {
    size_t best = 0;
    for (size_t j = 1; j < probabilities.size(); ++j) {
        if (probabilities[j] > probabilities[best]) best = j;
    }
    return best;
}

ojson decisionResultJson(const DecisionQuestion& question, const std::vector<double>& probabilities) {
    ojson out = ojson::object();
    out["type"] = decisionTypeName(question.type);
    // A probability list that does not match the options answers for the
    // options both have, never reading past either.
    const size_t n = std::min(probabilities.size(), question.options.size());
    if (question.type == kDecisionNoul) {
        double yes = 0.0;
        for (size_t j = 0; j < n; ++j) {
            if (question.options[j].first == "true") {
                yes = probabilities[j];
                break;
            }
        }
        out["noul"] = yes;
        return out;
    }
    const std::vector<double> p(probabilities.begin(), probabilities.begin() + static_cast<ptrdiff_t>(n));
    ojson probs = ojson::object();
    for (size_t j = 0; j < n; ++j) probs[question.options[j].first] = p[j];
    const size_t g = decisionBestIndex(p);

    if (question.type == kDecisionScore) {
        double score = 0.0, d = 0.0, u = 0.0;
        const double mid = (static_cast<double>(n) - 1.0) / 2.0;
        for (size_t j = 0; j < n; ++j) {
            const double jd = static_cast<double>(j);
            score += jd * p[j];
            d += std::fabs(jd - static_cast<double>(g)) * p[j];
            u += std::fabs(jd - mid) / static_cast<double>(n);
        }
        ojson legend = ojson::object();
        for (size_t j = 0; j < n; ++j) legend[question.options[j].first] = question.options[j].second;
        out["score"] = score;
        out["legend"] = legend;
        out["probabilities"] = probs;
        out["confidence"] = n >= 2 && u > 0.0 ? std::max(0.0, 1.0 - d / u) : 1.0;
        return out;
    }
    out["choice"] = n > 0 ? question.options[g].first : std::string();
    out["probabilities"] = probs;
    const double inv = n > 0 ? 1.0 / static_cast<double>(n) : 1.0;
    out["confidence"] = n >= 2 ? std::max(0.0, (p[g] - inv) / (1.0 - inv)) : 1.0;
    return out;
}
