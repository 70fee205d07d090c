// The bytes of one entry file of the registry store (see entry_format.h).
#include "platform/registry/entry_format.h"

#include <zlib.h>

#include <array>

namespace platform::registry_store {
namespace {

constexpr std::array<BYTE, 4> kMagic = {'Q', 'R', 'E', 'G'};
constexpr size_t kTypeAt = 4;
constexpr size_t kNameLengthAt = 8;
constexpr size_t kDataLengthAt = 12;
constexpr size_t kChecksumAt = 16;
constexpr size_t kHeaderBytes = 20;

void PutU32(std::vector<BYTE>& out, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD GetU32(std::span<const BYTE> in, size_t at) {
    DWORD v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<DWORD>(in[at + i]) << (8 * i);
    return v;
}

// zlib's crc32 takes a length of uInt; entries are far below that limit.
DWORD ChecksumAfterHeaderField(std::span<const BYTE> bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, bytes.data() + kTypeAt, static_cast<uInt>(kChecksumAt - kTypeAt));
    crc = crc32(crc, bytes.data() + kHeaderBytes, static_cast<uInt>(bytes.size() - kHeaderBytes));
    return static_cast<DWORD>(crc);
}

}  // namespace

std::vector<BYTE> EncodeEntry(std::u16string_view name, DWORD type, std::span<const BYTE> data) {
    std::vector<BYTE> out(kHeaderBytes + 2 * name.size() + data.size());
    for (size_t i = 0; i < kMagic.size(); ++i) out[i] = kMagic[i];
    PutU32(out, kTypeAt, type);
    PutU32(out, kNameLengthAt, static_cast<DWORD>(name.size()));
    PutU32(out, kDataLengthAt, static_cast<DWORD>(data.size()));
    size_t at = kHeaderBytes;
    for (const char16_t unit : name) {
        out[at++] = static_cast<BYTE>(unit & 0xFF);
        out[at++] = static_cast<BYTE>(unit >> 8);
    }
    for (const BYTE b : data) out[at++] = b;
    PutU32(out, kChecksumAt, ChecksumAfterHeaderField(out));
    return out;
}

bool DecodeEntry(std::span<const BYTE> bytes, Entry& entry) {
    if (bytes.size() < kHeaderBytes) return false;
    for (size_t i = 0; i < kMagic.size(); ++i) {
        if (bytes[i] != kMagic[i]) return false;
    }
    const std::uint64_t name_units = GetU32(bytes, kNameLengthAt);
    const std::uint64_t data_bytes = GetU32(bytes, kDataLengthAt);
    if (kHeaderBytes + 2 * name_units + data_bytes != bytes.size()) return false;
    if (GetU32(bytes, kChecksumAt) != ChecksumAfterHeaderField(bytes)) return false;

    entry.type = GetU32(bytes, kTypeAt);
    entry.name.resize(static_cast<size_t>(name_units));
    size_t at = kHeaderBytes;
    for (auto& unit : entry.name) {
        unit = static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8));
        at += 2;
    }
    entry.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return true;
}

}  // namespace platform::registry_store
