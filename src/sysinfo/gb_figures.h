// Gigabyte figures of the system reports: bytes / 2^30 rounded to one
// decimal, half away from zero. Pure functions; any thread.
#pragma once

#include <cstdint>

// round(x * 10) / 10 with halves rounded away from zero.
double roundToTenth(double x);

// bytes / 2^30, not rounded.
double bytesToGb(uint64_t bytes);

// roundToTenth(bytesToGb(bytes)).
double gbRounded(uint64_t bytes);

// a - b with both already converted to GB, then rounded (the "used" figures:
// total minus free, each converted before the subtraction).
double gbDifferenceRounded(uint64_t a, uint64_t b);
