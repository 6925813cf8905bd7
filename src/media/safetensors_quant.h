// Which quantisation formats a ".safetensors" model file uses that the media
// library cannot run. Reads only the file's JSON header and the small
// ".comfy_quant" entries it points at, never the weights. Safe from any
// thread.
#pragma once

#include <set>
#include <string>

// The unsupported format names of the file's ".comfy_quant" entries (sorted;
// an entry without a "format" counts as "(unknown)"). Accepted formats are
// "int8_tensorwise", "convrot_w4a4" and "asym_w4a8_int8". Empty when nothing
// is wrong or the file cannot be read as safetensors (header length outside
// 1..256 MiB, a header that is not a JSON object); an entry with malformed
// offsets or more than 4096 bytes is skipped; a read that fails ends the scan
// with what was gathered. Never throws.
std::set<std::string> readSafetensorsQuantFormat(const std::string& path);
