// One instance's entry in the system status: its stored settings, its
// model's name and layer count, and live figures when it is registered.
//
// Live figures come from the instance's atomics and the values its last
// claim recorded (Mivrel::statusView); the engine itself is never called, so
// an entry never disturbs a running generation. Runs on any thread; takes
// the manager's lock only to find the instance and the instance mutex only
// to read the state of an instance without engine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "config/data_folders.h"

class Mivrel;

// The entry for `id` with its settings read from its folder in
// folders.mivrel and its model's name and settings from folders.models, and
// the live fields of `mivrel` when given (null:
// not registered, the "not_loaded" defaults stay). `nowMs` is the wall
// clock in epoch milliseconds. Never throws for unreadable files.
nlohmann::json mivrelStatusEntry(const DataFolders& folders, const std::string& id,
                                 const std::shared_ptr<Mivrel>& mivrel, int64_t nowMs);

// The live fields of a registered instance written over `entry`.
void addLiveFields(nlohmann::json& entry, const Mivrel& mivrel, int64_t nowMs);
