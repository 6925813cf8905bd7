// Runtime state file updates with many keys at once (a properties PATCH of
// thousands of new keys): the time of one update of N keys into a small
// file, for N = 1,000 to 20,000, and the ratio of each time to the 1,000-key
// time. One pass over the text grows the time with N (ratio about N/1000);
// a pass per key grows it with N squared.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "base/logger.h"
#include "config/runtime_properties.h"

namespace {

using Clock = std::chrono::steady_clock;

double updateSeconds(const std::string& path, int keys) {
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs("APP_ID = bench\nBRISVANE_EXPORT = false\n", file);
        std::fclose(file);
    }
    std::map<std::string, std::string> values;
    for (int i = 0; i < keys; ++i) {
        char key[24];
        std::snprintf(key, sizeof key, "BENCH_KEY_%06d", i);
        values[key] = "value-" + std::to_string(i);
    }
    const auto start = Clock::now();
    updateRuntimeProperties(values);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    setLogLevel(0);
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "runtime_props_bench";
    std::filesystem::create_directories(folder);
    const std::string path = (folder / ".runtime.properties").string();
    setRuntimePropertiesPathForTesting(path);
    const double reference = updateSeconds(path, 1000);
    std::printf("%8s %12s %10s\n", "keys", "ms", "ratio");
    for (const int keys : {1000, 2000, 5000, 10000, 20000}) {
        const double seconds = keys == 1000 ? reference : updateSeconds(path, keys);
        std::printf("%8d %12.2f %10.1f\n", keys, seconds * 1000, seconds / reference);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
