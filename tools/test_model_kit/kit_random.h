// A small seeded generator whose output is the same on every platform and
// standard library (std::uniform_real_distribution is not), so the kit writes
// byte-identical models everywhere.
#pragma once

#include <cstdint>
#include <vector>

namespace kit {

class KitRandom {
public:
    explicit KitRandom(uint64_t seed) : state_(seed) {}

    // splitmix64
    uint64_t nextU64() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [-scale, scale).
    float uniform(float scale) {
        const double unit = static_cast<double>(nextU64() >> 11) * (1.0 / 9007199254740992.0);
        return static_cast<float>((unit * 2.0 - 1.0) * scale);
    }

    std::vector<float> uniformValues(size_t count, float scale) {
        std::vector<float> v(count);
        for (float& x : v) x = uniform(scale);
        return v;
    }

private:
    uint64_t state_;
};

}  // namespace kit
