// The sample card of `quillane demo`: a small folder tree of the kinds of
// files a card holds (text, a spreadsheet, a bitmap, a program's data, a
// photo and a song of exempt types, random bytes that do not compress, an
// empty file), the same bytes on every run. Written straight into a host
// folder, as files put on the card before Quillane was installed: plain.
#pragma once

#include <string>
#include <vector>

namespace quillane::cli {

struct SampleFile {
    std::string path;  // relative to the card folder, "/"-separated
    std::string what;  // a few words for the demo's table
};

// Writes the sample card into `card_dir` (which must exist). Returns the
// files written, in the order the table shows them, or an empty list with
// the reason in `error`.
std::vector<SampleFile> WriteSampleCard(const std::string& card_dir, std::string* error);

}  // namespace quillane::cli
