#include "base/repeat_gate.h"

RepeatGate::RepeatGate(std::chrono::milliseconds interval, size_t maxKinds)
    : interval_(interval), maxKinds_(maxKinds < 1 ? 1 : maxKinds) {}

bool RepeatGate::admit(const std::string& key, Clock::time_point now, uint64_t* heldBack) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = kinds_.find(key);
    if (it == kinds_.end()) {
        if (kinds_.size() >= maxKinds_) {
            // Forget the kind written longest ago.
            auto oldest = kinds_.begin();
            for (auto k = kinds_.begin(); k != kinds_.end(); ++k) {
                if (k->second.lastWritten < oldest->second.lastWritten) oldest = k;
            }
            if (oldest->second.heldBack > 0) forgotten_.emplace_back(oldest->first, oldest->second.heldBack);
            kinds_.erase(oldest);
        }
        kinds_.emplace(key, Kind{now, 0});
        *heldBack = 0;
        return true;
    }
    Kind& kind = it->second;
    if (now - kind.lastWritten < interval_) {
        ++kind.heldBack;
        return false;
    }
    *heldBack = kind.heldBack;
    kind.heldBack = 0;
    kind.lastWritten = now;
    return true;
}

std::vector<std::pair<std::string, uint64_t>> RepeatGate::drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, uint64_t>> held;
    held.swap(forgotten_);
    for (auto& [key, kind] : kinds_) {
        if (kind.heldBack > 0) held.emplace_back(key, kind.heldBack);
    }
    kinds_.clear();
    return held;
}

std::string repeatKindOf(const std::string& text) {
    std::string kind;
    kind.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            if (kind.empty() || kind.back() != '#') kind.push_back('#');
            while (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') ++i;
        } else {
            kind.push_back(text[i]);
        }
    }
    return kind;
}
