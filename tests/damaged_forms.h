// The ways a compressed card file can be damaged, for the tests of every
// layer that meets one (the filter, the mount, convert, the settings
// program): each form made from the bytes of a sound compressed file whose
// first block is a compressed one, so that every form starts with the
// signature and none decodes soundly. Header-only; needs nothing but the
// standard library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillane::test_forms {

struct DamagedForm {
    const char* what;
    std::string bytes;
};

inline std::vector<DamagedForm> DamagedForms(const std::string& sound) {
    // Signature (4 bytes), then the first block's header: data length at 4,
    // stored length at 8, its payload from 12.
    constexpr size_t kDataLength = 4, kStoredLength = 8, kPayload = 12;
    const auto with_byte = [&](size_t at, std::uint8_t mask) {
        std::string bytes = sound;
        bytes[at] = static_cast<char>(static_cast<std::uint8_t>(bytes[at]) ^ mask);
        return bytes;
    };
    const auto with_data_length = [&](std::uint32_t length) {
        std::string bytes = sound;
        for (int i = 0; i < 4; ++i) bytes[kDataLength + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return bytes;
    };
    const std::uint32_t stored = static_cast<std::uint8_t>(sound[kStoredLength]) |
                                 static_cast<std::uint8_t>(sound[kStoredLength + 1]) << 8 |
                                 static_cast<std::uint8_t>(sound[kStoredLength + 2]) << 16 |
                                 static_cast<std::uint32_t>(static_cast<std::uint8_t>(sound[kStoredLength + 3])) << 24;
    return {
        {"a header cut short", sound.substr(0, kDataLength + 5)},
        {"a payload cut short", sound.substr(0, sound.size() - 10)},
        {"a flipped bit in a data length", with_byte(kDataLength + 1, 0x01)},
        {"a flipped bit in a stored length", with_byte(kStoredLength, 0x01)},
        {"flipped bits in a zlib stream", with_byte(kPayload + stored / 2, 0x5A)},
        {"a data length of 0", with_data_length(0)},
        {"a huge data length", with_data_length(0xFFFFFFFFu)},
        {"plain text behind the signature", sound.substr(0, 4) + "Dear diary, today the card kept my words.\n"},
    };
}

}  // namespace quillane::test_forms
