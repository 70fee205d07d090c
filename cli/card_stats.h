// The tally behind `quillane stats`: how the files under a card folder (or
// part of one) are stored, read from the card as the filter left it, below
// the filter. A compressed file is judged by its block headers alone (its
// payloads are skipped, never decoded), so a card of thousands of files is
// tallied in the time it takes to read one header of each. Not a check of
// the data: `quillane info` decodes every block.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillane::cli {

enum class StoredKind {
    kCompressed,  // the card's format with at least one compressed block
    kRawOnly,     // the card's format, every block raw (data that does not compress)
    kPlain,       // not in the card's format, not empty, not an exempt type
    kExempt,      // not in the card's format, of a type on the exempt list
    kEmpty,       // no data (the filter never encodes an empty file)
    kDamaged,     // the card's format, but a block header is damaged or cut short
};
inline constexpr size_t kStoredKindCount = 6;

struct StoredTally {
    uint64_t files = 0;
    uint64_t plain_bytes = 0;   // what programs read through the filter
    uint64_t stored_bytes = 0;  // the files' sizes on the card
};

struct CardStats {
    StoredTally total;  // every file but the leftovers
    std::array<StoredTally, kStoredKindCount> by_kind{};
    StoredTally leftovers;  // the filter's working copies (vXXXX.TMP, yXXXX.TMP) at a walked folder's top
    uint64_t folders = 0;
    std::vector<std::string> unreadable;  // "PATH: reason" for each file or folder that could not be read
};

// Adds every regular file under each of `paths` (a folder is walked whole,
// symbolic links are not followed) to `stats`. `exempt` tells whether a file
// name is of an exempt type. `progress`, when given, is called now and then
// with the tally so far.
void TallyCard(const std::vector<std::string>& paths, const std::function<bool(const std::string& name)>& exempt,
               const std::function<void(const CardStats&)>& progress, CardStats* stats);

// "compressed", "raw blocks only", ... as the table shows a kind, and the
// key the JSON form gives it ("compressed", "raw_only", ...).
const char* KindTitle(StoredKind kind);
const char* KindKey(StoredKind kind);

}  // namespace quillane::cli
