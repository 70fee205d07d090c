// Fuzz target: the exempt match on any opened name and any stored exempt
// list (IsExemptByList, the pure half of the exempt test). Input layout: two
// bytes little-endian, the name's length in UTF-16 units; that many units of
// name (little-endian, a NUL among them ends it early); then the value's
// stored bytes, of which the first 4096 count. The name lies in a heap block
// of exactly its units and the NUL, and the list buffer in one of exactly its
// 4096 units, so any read or write past either meets the sanitizer at once.
// The answer must be what a plain restatement of the rule on std::u16string
// gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "filter/exempt_test.h"
#include "filter/records.h"
#include "platform/core/wide_string.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using quillane_filter::kExceptionBytes;
using quillane_filter::kExemptListCapacity;

constexpr std::size_t kStoredUnits = kExceptionBytes / sizeof(WCHAR);

WCHAR UnitAt(const std::uint8_t* bytes) { return static_cast<WCHAR>(bytes[0] | bytes[1] << 8); }

std::u16string UpToNul(const WCHAR* units, std::size_t count) {
    std::u16string text(units, count);
    return text.substr(0, text.find(u'\0'));
}

// The rule restated: the stored text (its first 2048 units, up to a NUL)
// followed by "."; the name's type token from its last "." to its end,
// followed by "."; exempt when the token, both sides folded to upper case,
// occurs in the list, and the token with its NUL fits a name buffer.
bool ExpectedExempt(const std::u16string& stored, const std::u16string& name) {
    const std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos) return false;
    const std::u16string token = name.substr(dot) + u".";
    if (token.size() + 1 > quillane_filter::kNameCapacity) return false;
    return platform::WideFoldUpper(stored + u".").find(platform::WideFoldUpper(token)) != std::u16string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t asked = UnitAt(data);
    const std::size_t nameUnits = std::min(asked, (size - 2) / 2);
    const std::uint8_t* rest = data + 2 + 2 * nameUnits;
    const std::size_t restBytes = size - 2 - 2 * nameUnits;

    auto name = std::make_unique<WCHAR[]>(nameUnits + 1);
    for (std::size_t i = 0; i < nameUnits; ++i) name[i] = UnitAt(data + 2 + 2 * i);
    name[nameUnits] = 0;

    // What a registry read leaves: the stored bytes, zeros where the value
    // ended, and behind the 2048 units whatever the buffer held before,
    // which must not count.
    std::unique_ptr<WCHAR[][kExemptListCapacity]> list(new WCHAR[1][kExemptListCapacity]);
    for (std::size_t i = 0; i < kExemptListCapacity; ++i) list[0][i] = u'Z';
    for (std::size_t i = 0; i < kStoredUnits; ++i) {
        list[0][i] = 2 * i + 1 < restBytes ? UnitAt(rest + 2 * i) : (2 * i < restBytes ? rest[2 * i] : 0);
    }
    const std::u16string stored = UpToNul(list[0], kStoredUnits);
    const std::u16string nameText = UpToNul(name.get(), nameUnits);

    const BOOL exempt = quillane_filter::IsExemptByList(list[0], name.get());
    FUZZ_CHECK(exempt == TRUE || exempt == FALSE);
    FUZZ_CHECK((exempt == TRUE) == ExpectedExempt(stored, nameText));
    // The name is only read.
    for (std::size_t i = 0; i < nameUnits; ++i) FUZZ_CHECK(name[i] == UnitAt(data + 2 + 2 * i));
    return 0;
}
