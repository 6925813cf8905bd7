// The product-information document: what the program is, on which system it
// runs, which components are present in which version, which graphics
// devices were found and whether the build can use them, a capacity
// estimate, a conclusion per feature, diagnostics issues and the criteria
// the checks used.
//
// Building it is slow (backend loading and device probes), so productInfo()
// keeps the last built document in a process-wide cache under one mutex,
// held for the whole call; later calls copy the cache and add the live
// fields.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sysinfo/product_facts.h"

// Fixed values of this build.
inline constexpr char kBuildConfig[] = "Release";
inline constexpr char kTeamName[] = "Halvoro";
inline constexpr char kMediaLibraryFallbackRevision[] = "532d2c1";

// The document (sorted keys) for `facts`, without the live fields
// ("capacity"."modelsDiskFreeGB", "capacity"."modelsDir", "cpu"). Pure.
nlohmann::json composeProductInfo(const ProductFacts& facts);

// composeProductInfo(gatherProductFacts(SystemRoots())).
nlohmann::json buildProductInfo();

// A copy of the cached document, built first when `refresh` is set or
// nothing is cached, with "capacity"."modelsDiskFreeGB" and
// "capacity"."modelsDir" set afresh for the models folder `modelsDir`. A
// failed build leaves the cache as it was and passes the exception on. Safe
// for concurrent use: callers are served one at a time.
nlohmann::json productInfo(const std::string& modelsDir, bool refresh);

// Space available to the process on the volume of `modelsDir` in GB with
// one decimal; 0.0 when the query fails.
double modelsDiskFreeGb(const std::string& modelsDir);

// Empties the cache. For tests.
void clearProductInfoCacheForTesting();
