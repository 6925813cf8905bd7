#include "sysinfo/gb_figures.h"

#include <cmath>

double roundToTenth(double x) { return std::round(x * 10.0) / 10.0; }

double bytesToGb(uint64_t bytes) { return static_cast<double>(bytes) / 1073741824.0; }

double gbRounded(uint64_t bytes) { return roundToTenth(bytesToGb(bytes)); }

double gbDifferenceRounded(uint64_t a, uint64_t b) { return roundToTenth(bytesToGb(a) - bytesToGb(b)); }
