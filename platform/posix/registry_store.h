// The registry stand-in's store: one REGEDIT4 file per hive under the state directory's
// registry/, read afresh by every call under a shared lock and changed by a
// read-modify-write under an exclusive one.
#pragma once

#include <functional>

#include "registry_text.h"

namespace kvp::internal {

constexpr long kErrorRegistryIo = 1016;

// The hives by index: a handle's hive number indexes this.
inline constexpr const char* kHiveNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};

// The hive as its file holds it now; no registry yet is an empty hive. A result code.
long LoadHive(int hive, Hive* out);

// Reads the hive under the exclusive lock and lets change alter it; change returns a
// result code and sets *changed when the hive must be written back, which replaces the
// file whole. A result code.
long ModifyHive(int hive, const std::function<long(Hive&, bool*)>& change);

}  // namespace kvp::internal
