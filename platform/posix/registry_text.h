// The registry stand-in's hive model and its text format (REGEDIT4, 8-bit), as pure
// functions over text: no files, no locks, no handles. The store (registry_store.h)
// reads and writes hive files with them; the fuzzer and the unit tests call them directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kv/registry.h"

namespace kvp::internal {

// Orders folded key paths so that a key's subkeys follow it directly, as regedit
// exports them: the separator sorts before every other character.
struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct HiveValue {
    std::string name;
    uint32_t type = kRegNone;
    std::string data;

    bool operator==(const HiveValue&) const = default;
};

struct HiveKey {
    std::string path;  // as first written
    std::vector<HiveValue> values;

    // The value of that name in any letter case, or null.
    HiveValue* find(std::string_view name);
    bool operator==(const HiveKey&) const = default;
};

struct Hive {
    std::map<std::string, HiveKey, KeyOrder> keys;  // by folded path; the root is ""

    Hive() { keys[""]; }

    HiveKey* find(const std::string& path);
    // Creates the key and every missing ancestor; true when anything was created.
    bool create(const std::string& path, HiveKey** out);
    bool hasSubkeys(const std::string& path) const;
    // The immediate subkeys' names, in key order.
    std::vector<std::string> subkeys(const std::string& path) const;

    bool operator==(const Hive&) const = default;
};

// A subkey text appended to a key path, both split on '\' with empty components (doubled
// or leading and trailing separators) dropped; subkey may be null.
std::string ChildPath(const std::string& base, const char* subkey);

// Reads a hive file's text: only the sections below hive_name (e.g. "HKEY_LOCAL_MACHINE")
// count, and lines that do not parse are skipped, so any text gives a hive.
Hive ParseHive(std::string_view text, const char* hive_name);

// Writes the hive as regedit exports it; ParseHive reads the text back to the same hive.
std::string SerializeHive(const Hive& hive, const char* hive_name);

}  // namespace kvp::internal
