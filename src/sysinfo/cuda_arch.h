// The CUDA compute capabilities this build carries GPU code for, how a
// device's capability compares with them, and CUDA version texts. Pure
// functions; any thread.
#pragma once

#include <string>
#include <vector>

// major x 10 + minor of each capability the GPU code was built for.
inline constexpr char kCudaArchList[] = "52,61,70,75,80,86,89,90";

// The oldest driver and driver CUDA version the GPU code runs on.
inline constexpr char kMinNvidiaDriver[] = "527.41";
inline constexpr int kMinDriverCudaVersion = 12000;

// kCudaArchList as integers; pieces that are not decimal numbers are skipped.
std::vector<int> parseCudaArchList();
// The same for any list text (for tests of the skipping rule).
std::vector<int> parseCudaArchList(const std::string& text);

// "supported" when a built capability of the same major version is not above
// `cc`; else "ptx" when `cc` is above every built one (the portable code is
// compiled for it at start); else "unsupported". An empty list: "supported".
std::string archSupportOf(int cc, const std::vector<int>& archs);

// major "." minor of a CUDA version number (1000 x major + 10 x minor):
// 12040 gives "12.4", 11080 "11.8"; "" for 0 or less.
std::string cudaVersionText(int version);
