// What the demo puts side by side: for each sample file, the size programs
// see (through the mount, or through the storage manager when there is no
// mount) and the size the card folder holds, with how it is stored; and the
// capacity programs see. Used by the demo only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/demo_card.h"

namespace quillane::cli {

class CardSession;

// Where the plain view of the card comes from: a mount point, or else an
// open session of the storage manager on the card folder.
struct PlainView {
    std::string mount_point;             // empty: no mount
    const CardSession* session = nullptr;  // used when there is no mount
};

// Prints the table of `files` (paths relative to `card_dir`).
void PrintSizeTable(const std::vector<SampleFile>& files, const std::string& card_dir, const PlainView& view);

// The card's total capacity as programs see it.
std::optional<std::uint64_t> SeenCapacity(const PlainView& view);

}  // namespace quillane::cli
