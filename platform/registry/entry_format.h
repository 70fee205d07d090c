// The bytes of one entry file of the registry store: a value (its name as the
// caller spelled it, its type and data) or a key's own name (type REG_NONE, no
// data). Used by the registry's sources only; knows nothing of where entries
// lie.
//
// Layout, little-endian: "QREG", type (4 bytes), name length in UTF-16 units
// (4), data length in bytes (4), CRC-32 of everything after it (4), the name
// (2 bytes a unit), the data.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"

namespace platform::registry_store {

struct Entry {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::vector<BYTE> EncodeEntry(std::u16string_view name, DWORD type, std::span<const BYTE> data);

// Fills `entry` from `bytes` and returns true only for a whole, intact entry:
// right magic, lengths that add up to the file's size, matching checksum.
bool DecodeEntry(std::span<const BYTE> bytes, Entry& entry);

}  // namespace platform::registry_store
