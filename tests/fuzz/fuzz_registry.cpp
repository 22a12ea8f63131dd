// The registry stand-in's text format on arbitrary hive files, in memory: whatever the
// text holds, reading it gives a hive whose keys are filed under their own folded paths
// below existing parents, and the hive that the writer makes of it reads back as the
// same hive (every key with its spelling, every value with its name, type, data and
// place), the writer's text being its own fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "kv/text.h"
#include "registry_text.h"

namespace {

using kvp::internal::Hive;

constexpr const char* kHiveName = "HKEY_LOCAL_MACHINE";

void CheckShape(const Hive& hive) {
    // In key order a key's parent is on the stack of the keys whose subtree holds it, so
    // one pass checks every parent without a look-up per key.
    std::vector<const std::string*> open;
    for (const auto& [folded, key] : hive.keys) {
        FUZZ_CHECK(folded == kvp::ToAsciiLower(key.path));
        for (size_t i = 0; i < key.values.size(); ++i)
            for (size_t j = i + 1; j < key.values.size(); ++j)
                FUZZ_CHECK(!kvp::EqualNoCase(key.values[i].name, key.values[j].name));
        if (folded.empty()) {
            FUZZ_CHECK(open.empty());
            open.push_back(&folded);
            continue;
        }
        const size_t cut = folded.rfind('\\');
        FUZZ_CHECK(cut != 0 && cut + 1 != folded.size());
        const std::string_view parent =
            cut == std::string::npos ? std::string_view() : std::string_view(folded).substr(0, cut);
        while (!open.empty() && *open.back() != parent) open.pop_back();
        FUZZ_CHECK(!open.empty());
        open.push_back(&folded);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Hive first = kvp::internal::ParseHive(text, kHiveName);
    CheckShape(first);
    const std::string written = kvp::internal::SerializeHive(first, kHiveName);
    const Hive again = kvp::internal::ParseHive(written, kHiveName);
    if (!(again == first)) {
        std::fprintf(stderr, "the written hive reads back as %zu keys, not %zu:\n%s\n",
                     again.keys.size(), first.keys.size(), written.c_str());
        FUZZ_CHECK(again == first);
    }
    FUZZ_CHECK(kvp::internal::SerializeHive(again, kHiveName) == written);
    return 0;
}
