#include "sysinfo/cuda_arch.h"

#include <climits>
#include <cstdlib>
#include <sstream>

std::vector<int> parseCudaArchList(const std::string& text) {
    std::vector<int> archs;
    std::istringstream pieces(text);
    std::string piece;
    while (std::getline(pieces, piece, ',')) {
        if (piece.empty() || piece.find_first_not_of("0123456789") != std::string::npos || piece.size() > 9) continue;
        archs.push_back(std::atoi(piece.c_str()));
    }
    return archs;
}

std::vector<int> parseCudaArchList() { return parseCudaArchList(kCudaArchList); }

std::string archSupportOf(int cc, const std::vector<int>& archs) {
    if (archs.empty()) return "supported";
    int largest = INT_MIN;
    for (const int arch : archs) {
        if (arch > largest) largest = arch;
        if (arch / 10 == cc / 10 && arch <= cc) return "supported";
    }
    return cc > largest ? "ptx" : "unsupported";
}

std::string cudaVersionText(int version) {
    if (version <= 0) return "";
    return std::to_string(version / 1000) + "." + std::to_string((version % 1000) / 10);
}
