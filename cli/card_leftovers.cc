// What an interrupted open or close leaves at a card's root (see
// card_leftovers.h).
//
// How the filter's own steps make each judgement sound:
// - A close encodes into a staging file, flushes it, and only then puts it
//   in place of the file in one rename. A staging file still at the root was
//   therefore never put in place: the file under its name holds what it held
//   before that close, whole, and the data being encoded is still in its
//   source (the plain file itself, or the expansion file, which the close
//   removes only after the rename). A staging file that is damaged or cut
//   short can go; a whole one can go when some file holds its content.
// - An expansion file holds the plain data of an open compressed file, as
//   the program left it. It can go only when some file holds exactly that;
//   otherwise the program's writes may be nowhere else.
// - An expansion file is given its compressed file's times when it is made,
//   and a staging file its source's; a close carries them into the file it
//   replaces. So a leftover's creation time usually names its file.
#include "cli/card_leftovers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>

#include "cli/host_file.h"
#include "cli/messages.h"
#include "filter/codec/codec.h"
#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/fat/metadata.h"
#include "platform/fat/unique_fd.h"

namespace quillane::cli {
namespace {

using platform::fat::UniqueFd;

// The filter keeps a file's path within the card in 256 units with the NUL;
// a kept file whose path would not fit could never be opened again.
constexpr size_t kMaxVolumePath = 255;

// Hidden names the mount gives files unlinked while open; it deletes them
// when it starts, so they are no copy of anything.
constexpr std::string_view kMountHiddenPrefix = ".quillane-unlinked-";

// The owner guessed by content alone must share at least this much.
constexpr double kLeastLikeness = 0.5;
// How many files of a similar size are compared when no creation time
// matches: enough for a card of many versions, bounded for a large card.
constexpr size_t kMostLikenessCandidates = 32;
constexpr size_t kCompareChunk = 65536;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::u16string Folded(std::string_view host_name) {
    return platform::WideFoldUpper(platform::Utf16FromUtf8Lossy(host_name));
}

size_t Utf16Length(std::string_view text) { return platform::Utf16FromUtf8Lossy(text).size(); }

std::uint64_t TimeValue(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string Percent(double fraction) { return std::to_string(static_cast<int>(fraction * 100 + 0.5)) + "%"; }

// ---- Plain content ---------------------------------------------------------

// The data a file stands for, read in order: its bytes, or, for a file in
// the compressed format read decoded, the data of its blocks, one block at
// a time through the codec's decoder.
class PlainContent {
public:
    // `decode`: a file that starts with the signature is read decoded.
    static std::optional<PlainContent> Open(const std::string& host_path, bool decode) {
        std::string ignored;
        std::optional<InputFile> input = InputFile::Open(host_path, &ignored);
        if (!input || !input->IsRegularFile()) return std::nullopt;
        PlainContent content(std::move(*input));
        BYTE prefix[kCodecSignatureSize];
        const std::optional<size_t> got = content.input_.Read(prefix);
        if (!got) return std::nullopt;
        if (decode && CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
            content.compressed_ = true;
        } else {
            content.block_.assign(prefix, prefix + *got);
        }
        return content;
    }

    // Up to `buffer.size()` bytes, fewer only at the end; nothing when the
    // file cannot be read or its blocks are damaged here.
    std::optional<size_t> Read(std::span<BYTE> buffer) {
        size_t total = 0;
        while (total < buffer.size()) {
            if (position_ == block_.size()) {
                if (ended_) break;
                if (!NextBlock()) return std::nullopt;
                continue;
            }
            const size_t n = std::min(buffer.size() - total, block_.size() - position_);
            std::memcpy(buffer.data() + total, block_.data() + position_, n);
            position_ += n;
            total += n;
        }
        return total;
    }

private:
    explicit PlainContent(InputFile input) : input_(std::move(input)) {}

    struct Memory {
        std::span<const BYTE> bytes;
        size_t position = 0;
    };
    static BOOL ReadMemory(void* context, void* buffer, DWORD count, DWORD* delivered) {
        auto* memory = static_cast<Memory*>(context);
        const size_t n = std::min<size_t>(count, memory->bytes.size() - memory->position);
        std::memcpy(buffer, memory->bytes.data() + memory->position, n);
        memory->position += n;
        *delivered = static_cast<DWORD>(n);
        return TRUE;
    }
    static BOOL AppendTo(void* context, const void* buffer, DWORD count) {
        auto* bytes = static_cast<std::vector<BYTE>*>(context);
        bytes->insert(bytes->end(), static_cast<const BYTE*>(buffer), static_cast<const BYTE*>(buffer) + count);
        return TRUE;
    }
    static DWORD LittleEndian(const BYTE* bytes) {
        return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
               (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
    }

    // Loads the next block's data, or marks the end. False on a read error
    // or damage.
    bool NextBlock() {
        block_.clear();
        position_ = 0;
        if (!compressed_) {
            block_.resize(kCompareChunk);
            const std::optional<size_t> got = input_.Read(block_);
            if (!got) return false;
            block_.resize(*got);
            if (*got == 0) ended_ = true;
            return true;
        }
        // The layout codec.h states: a header of data length and stored
        // length, then a zlib stream of stored length when that is the
        // smaller, else the data itself. The decoder judges the block.
        std::vector<BYTE> encoded(kCodecHeaderSize);
        const std::optional<size_t> header = input_.Read(encoded);
        if (!header) return false;
        if (*header == 0) {
            ended_ = true;
            return true;
        }
        if (*header < kCodecHeaderSize) return false;
        const DWORD data_length = LittleEndian(encoded.data());
        const DWORD stored_length = LittleEndian(encoded.data() + 4);
        if (data_length == 0 || data_length > kCodecBlockSize) return false;
        const DWORD payload = stored_length < data_length ? stored_length : data_length;
        encoded.resize(kCodecHeaderSize + payload);
        const std::optional<size_t> got = input_.Read(std::span<BYTE>(encoded).subspan(kCodecHeaderSize));
        if (!got || *got != payload) return false;
        Memory memory{encoded};
        const CodecSource source{&memory, ReadMemory};
        const CodecSink sink{&block_, AppendTo};
        return CodecDecode(&source, &sink) == kCodecCompleted && block_.size() == data_length;
    }

    InputFile input_;
    bool compressed_ = false;
    bool ended_ = false;
    std::vector<BYTE> block_;
    size_t position_ = 0;
};

// A file's data as some judgement reads it.
struct ContentRef {
    std::string host_path;
    bool decode;
};

// Whether two files stand for the same data, byte for byte. A file that
// cannot be read, or is damaged, holds no copy of anything.
bool SameContent(const ContentRef& a, const ContentRef& b, unsigned long long length_limit = ~0ULL) {
    std::optional<PlainContent> first = PlainContent::Open(a.host_path, a.decode);
    std::optional<PlainContent> second = PlainContent::Open(b.host_path, b.decode);
    if (!first || !second) return false;
    std::vector<BYTE> x(kCompareChunk), y(kCompareChunk);
    unsigned long long compared = 0;
    while (compared < length_limit) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(kCompareChunk, length_limit - compared));
        const std::optional<size_t> got_x = first->Read(std::span<BYTE>(x).first(want));
        const std::optional<size_t> got_y = second->Read(std::span<BYTE>(y).first(want));
        if (!got_x || !got_y || *got_x != *got_y) return false;
        if (std::memcmp(x.data(), y.data(), *got_x) != 0) return false;
        if (*got_x < want) return true;  // both ended here
        compared += *got_x;
    }
    return true;
}

// The share of bytes two files have alike at the same offsets, over the
// longer of the two: a program's edits in place and its additions at the
// end leave most of a file alike; another file shares next to nothing.
double Likeness(const ContentRef& a, const ContentRef& b) {
    std::optional<PlainContent> first = PlainContent::Open(a.host_path, a.decode);
    std::optional<PlainContent> second = PlainContent::Open(b.host_path, b.decode);
    if (!first || !second) return 0;
    std::vector<BYTE> x(kCompareChunk), y(kCompareChunk);
    unsigned long long alike = 0, longer = 0;
    bool first_open = true, second_open = true;
    while (first_open || second_open) {
        size_t got_x = 0, got_y = 0;
        if (first_open) {
            const std::optional<size_t> got = first->Read(x);
            got_x = got.value_or(0);
            first_open = got && *got == x.size();
        }
        if (second_open) {
            const std::optional<size_t> got = second->Read(y);
            got_y = got.value_or(0);
            second_open = got && *got == y.size();
        }
        const size_t common = std::min(got_x, got_y);
        for (size_t i = 0; i < common; ++i) alike += x[i] == y[i];
        longer += std::max(got_x, got_y);
    }
    return longer == 0 ? 1.0 : static_cast<double>(alike) / static_cast<double>(longer);
}

// ---- The card's files ------------------------------------------------------

struct CardFile {
    std::string path;       // from the card root, "/"-separated, host spelling
    std::string host_path;  // the same on the host
    bool compressed = false;
    unsigned long long plain_size = 0;
    std::uint64_t created = 0;  // FILETIME value; 0 when unknown
    bool may_own = true;        // a file a leftover can have belonged to
    bool is_expansion = false;  // a leftover expansion file (a copy for staging files only)
    std::string owner;          // for an expansion file: the file it was judged to belong to
};

// Size and kind of a file as the filter reads it, and its creation time.
bool Describe(CardFile& file, bool decode) {
    std::string ignored;
    std::optional<InputFile> input = InputFile::Open(file.host_path, &ignored);
    if (!input || !input->IsRegularFile()) return false;
    file.plain_size = static_cast<unsigned long long>(input->Status().st_size);
    BYTE prefix[kCodecSignatureSize];
    const std::optional<size_t> got = input->Read(prefix);
    if (!got) return false;
    if (decode && CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
        file.compressed = true;
        CodecScanReport report{};
        const CodecScanSource source = input->ScanSource();
        if (CodecScan(&source, FALSE, &report) == kCodecSourceFailed) return false;
        file.plain_size = report.plainSize;
    }
    UniqueFd fd(::open(file.host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (fd.Valid() && ::fstat(fd.Get(), &status) == 0) {
        // What the card keeps: a volume that served it may have kept more
        // for as long as it was open, but it is gone.
        platform::fat::AttributeStore store;
        store.SetKind(platform::fat::StoreKindFor(fd.Get()));
        file.created = TimeValue(platform::fat::ReadTimes(store, fd.Get(), status).creation);
    }
    return true;
}

// Every regular file of the card but the root's leftovers, folder by folder
// with a stack of our own.
void CollectCardFiles(const std::string& card_dir, const std::set<std::string>& leftover_names,
                      std::vector<CardFile>& files, std::vector<std::string>& problems) {
    namespace fs = std::filesystem;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string folder = pending.back();
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator entries(folder.empty() ? card_dir : card_dir + "/" + folder, error);
        if (error) {
            problems.push_back("the folder " + (folder.empty() ? std::string("at the root") : folder) +
                               " could not be read (" + error.message() + "); files in it were not compared");
            continue;
        }
        for (const fs::directory_entry& entry : entries) {
            const std::string name = entry.path().filename().string();
            const std::string path = folder.empty() ? name : folder + "/" + name;
            std::error_code status_error;
            const fs::file_status status = entry.symlink_status(status_error);
            if (status_error) continue;
            if (fs::is_directory(status)) {
                pending.push_back(path);
                continue;
            }
            if (!fs::is_regular_file(status)) continue;  // a card holds no links, devices or pipes
            if (folder.empty() && leftover_names.count(name) != 0) continue;
            if (folder.empty() && name.starts_with(kMountHiddenPrefix)) continue;
            CardFile file;
            file.path = path;
            file.host_path = card_dir + "/" + path;
            if (!Describe(file, true)) {
                problems.push_back(path + " could not be read; it was not compared");
                continue;
            }
            const std::string top = path.substr(0, path.find('/'));
            file.may_own = path.find('/') == std::string::npos || Folded(top) != Folded(kRecoveredFolder);
            files.push_back(std::move(file));
        }
    }
}

// ---- Judging a leftover ----------------------------------------------------

struct Owner {
    const CardFile* file = nullptr;
    std::string basis;
};

// The file a leftover most likely belonged to: one with its creation time
// (the most alike when several have it), else the most alike compressed
// file of a similar size, if alike enough.
Owner GuessOwner(const ContentRef& content, unsigned long long size, std::uint64_t created,
                 const std::vector<CardFile>& files, bool by_content) {
    std::vector<const CardFile*> same_time;
    for (const CardFile& file : files) {
        if (file.may_own && !file.is_expansion && created != 0 && file.created == created) same_time.push_back(&file);
    }
    if (same_time.size() == 1) {
        Owner owner{same_time[0], "same creation time"};
        if (by_content) {
            owner.basis += ", " + Percent(Likeness(content, {same_time[0]->host_path, true})) + " alike";
        }
        return owner;
    }
    if (same_time.size() > 1) {
        Owner best{same_time[0], ""};
        double best_likeness = -1;
        for (const CardFile* file : same_time) {
            const double likeness = by_content ? Likeness(content, {file->host_path, true}) : 0;
            if (likeness > best_likeness) {
                best_likeness = likeness;
                best.file = file;
            }
        }
        best.basis = "same creation time as " + std::to_string(same_time.size()) + " files";
        best.basis += by_content ? "; the most alike, " + Percent(best_likeness) : "; the first in the walk";
        return best;
    }
    if (!by_content || size == 0) return {};
    std::vector<const CardFile*> near;
    for (const CardFile& file : files) {
        if (file.may_own && !file.is_expansion && file.compressed && file.plain_size >= size / 2 &&
            file.plain_size <= size * 2) {
            near.push_back(&file);
        }
    }
    const auto distance = [size](const CardFile* file) {
        return file->plain_size > size ? file->plain_size - size : size - file->plain_size;
    };
    std::sort(near.begin(), near.end(), [&](const CardFile* a, const CardFile* b) { return distance(a) < distance(b); });
    if (near.size() > kMostLikenessCandidates) near.resize(kMostLikenessCandidates);
    Owner best;
    double best_likeness = kLeastLikeness;
    for (const CardFile* file : near) {
        const double likeness = Likeness(content, {file->host_path, true});
        if (likeness >= best_likeness) {
            best_likeness = likeness;
            best = Owner{file, Percent(likeness) + " alike; no file has its creation time"};
        }
    }
    return best;
}

void SetOwner(Leftover& leftover, const Owner& owner) {
    if (owner.file == nullptr) return;
    leftover.owner = owner.file->path;
    leftover.owner_basis = owner.basis;
}

// A file on the card that holds exactly `content`, of `size` bytes.
const CardFile* CopyOf(const ContentRef& content, unsigned long long size, const std::vector<CardFile>& files,
                       bool expansions_count) {
    for (const CardFile& file : files) {
        if (file.is_expansion && !expansions_count) continue;
        if (file.plain_size != size) continue;
        if (SameContent(content, {file.host_path, !file.is_expansion})) return &file;
    }
    return nullptr;
}

std::string CopyName(const CardFile& file) {
    return file.is_expansion ? "the expansion file " + file.path + ", which a close was encoding" : file.path;
}

// A staging file holds what `copy` holds: it belonged to the same file.
void OwnerFromCopy(Leftover& leftover, const CardFile& copy, const char* basis) {
    if (!copy.is_expansion) {
        leftover.owner = copy.path;
        leftover.owner_basis = basis;
    } else if (!copy.owner.empty()) {
        leftover.owner = copy.owner;
        leftover.owner_basis = "encoded from " + copy.path + ", the expansion file of that file";
    }
}

void JudgeExpansion(Leftover& leftover, const std::string& host_path, std::uint64_t created,
                    const std::vector<CardFile>& files) {
    const ContentRef content{host_path, false};
    if (leftover.size == 0) {
        leftover.fate = LeftoverFate::kRemove;
        leftover.finding = "empty: it holds no data";
        SetOwner(leftover, GuessOwner(content, 0, created, files, false));
        return;
    }
    if (const CardFile* copy = CopyOf(content, leftover.size, files, false)) {
        leftover.fate = LeftoverFate::kRemove;
        leftover.finding = "same content as " + copy->path +
                           ": an open that wrote nothing left it, or a close that had already put its data in place";
        leftover.owner = copy->path;
        leftover.owner_basis = "same content";
        return;
    }
    leftover.fate = LeftoverFate::kKeep;
    leftover.finding = "differs from every file on the card: it may hold a program's unsaved writes";
    const Owner owner = GuessOwner(content, leftover.size, created, files, true);
    SetOwner(leftover, owner);
    // Worth telling, though no reason to delete it: a truncation is a write too.
    if (owner.file != nullptr && owner.file->plain_size > leftover.size &&
        SameContent(content, {owner.file->host_path, true}, leftover.size)) {
        leftover.finding += " (it is the first " + ByteCount(leftover.size) + " of " + owner.file->path +
                            ", as an open that stopped while expanding it leaves, or a program that cut it short)";
    }
}

void JudgeStaging(Leftover& leftover, const std::string& host_path, std::uint64_t created,
                  const std::vector<CardFile>& files) {
    static const std::string kNeverInPlace =
        ": the close that wrote it stopped before putting it in place, so the file it was for still holds its "
        "old or its new content, whole";
    const ContentRef content{host_path, true};
    std::string error;
    std::optional<InputFile> input = InputFile::Open(host_path, &error);
    BYTE prefix[kCodecSignatureSize] = {};
    const std::optional<size_t> got = input ? input->Read(prefix) : std::nullopt;
    if (!got) {
        leftover.finding = "cannot be read: left where it is";
        return;
    }
    const auto remove_unfinished = [&](const std::string& why) {
        leftover.fate = LeftoverFate::kRemove;
        leftover.finding = why + kNeverInPlace;
        SetOwner(leftover, GuessOwner(content, 0, created, files, false));
    };
    if (!CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
        if (std::memcmp(prefix, kCodecSignature, *got) == 0 && *got < kCodecSignatureSize) {
            remove_unfinished(*got == 0 ? "empty" : "cut short inside its signature");
            return;
        }
        // A close writes the signature before anything else: whatever this
        // holds, no close wrote it, and it may be somebody's data.
        leftover.fate = LeftoverFate::kKeep;
        leftover.finding = "not in the compressed format, so no close wrote it: kept, as it may be data of its own";
        SetOwner(leftover, GuessOwner({host_path, false}, leftover.size, created, files, true));
        return;
    }
    CodecScanReport report{};
    const CodecScanSource source = input->ScanSource();
    const CodecResult scanned = CodecScan(&source, TRUE, &report);
    if (scanned == kCodecSourceFailed || scanned == kCodecNoMemory) {
        leftover.finding = scanned == kCodecNoMemory ? "could not be checked (out of memory): left where it is"
                                                     : "cannot be read: left where it is";
        return;
    }
    if (scanned == kCodecDamaged || report.damaged) {
        remove_unfinished("damaged or cut short (the first damaged block starts at offset " +
                          std::to_string(report.damageOffset) + ")");
        return;
    }
    if (report.plainSize == 0) {
        remove_unfinished("holds no block");
        return;
    }
    if (const CardFile* copy = CopyOf(content, report.plainSize, files, true)) {
        leftover.fate = LeftoverFate::kRemove;
        leftover.finding = "same content as " + CopyName(*copy) +
                           ": a close stopped after writing it but before putting it in place";
        OwnerFromCopy(leftover, *copy, "same content");
        return;
    }
    // The encoder writes whole blocks of 131072 bytes but for the last: a
    // staging file that ends after whole blocks may be a close's first part.
    if (report.plainSize % kCodecBlockSize == 0) {
        for (const CardFile& file : files) {
            if (file.plain_size <= report.plainSize) continue;
            if (SameContent(content, {file.host_path, !file.is_expansion}, report.plainSize)) {
                leftover.fate = LeftoverFate::kRemove;
                leftover.finding = "holds only the first " + ByteCount(report.plainSize) + " of " + CopyName(file) +
                                   kNeverInPlace;
                OwnerFromCopy(leftover, file, "same first blocks");
                return;
            }
        }
    }
    leftover.fate = LeftoverFate::kKeep;
    leftover.finding =
        "a whole compressed copy of " + ByteCount(report.plainSize) +
        " that no file on the card holds: kept, as it may be the only copy of a version of some file";
    SetOwner(leftover, GuessOwner(content, report.plainSize, created, files, true));
}

// ---- Where a kept leftover goes --------------------------------------------

// The host name in `dir` that is `name` to a card (which ignores case), if
// any; `is_folder` tells what it is.
std::optional<std::string> FindCardName(const std::string& dir, const std::string& name, bool* is_folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator entries(dir, error);
    if (error) return std::nullopt;
    const std::u16string wanted = Folded(name);
    for (const fs::directory_entry& entry : entries) {
        const std::string host_name = entry.path().filename().string();
        if (Folded(host_name) != wanted) continue;
        std::error_code status_error;
        *is_folder = fs::is_directory(entry.symlink_status(status_error));
        return host_name;
    }
    return std::nullopt;
}

// "name.TMP" with a number before the extension, for a name already taken.
std::string Numbered(const std::string& name, int number) {
    if (number <= 1) return name;
    const size_t dot = name.rfind('.');
    const std::string suffix = "-" + std::to_string(number);
    return dot == std::string::npos ? name + suffix : name.substr(0, dot) + suffix + name.substr(dot);
}

// The folders of `wanted` ("recovered/docs/a.txt.v1A2B.TMP") spelled as the
// card already spells them, and a last name not taken on the card nor by
// `planned` (folded card paths). Nothing when a folder on the way is a file.
std::optional<std::string> FreeKeepPath(const std::string& card_dir, const std::string& wanted,
                                        const std::set<std::u16string>& planned) {
    std::string resolved;
    size_t start = 0;
    bool folder_exists = true;
    for (;;) {
        const size_t slash = wanted.find('/', start);
        if (slash == std::string::npos) break;
        std::string component = wanted.substr(start, slash - start);
        if (folder_exists) {
            bool is_folder = false;
            if (const std::optional<std::string> found =
                    FindCardName(resolved.empty() ? card_dir : card_dir + "/" + resolved, component, &is_folder)) {
                if (!is_folder) return std::nullopt;
                component = *found;
            } else {
                folder_exists = false;
            }
        }
        resolved += component + "/";
        start = slash + 1;
    }
    const std::string last = wanted.substr(start);
    for (int number = 1;; ++number) {
        const std::string candidate = Numbered(last, number);
        bool is_folder = false;
        const bool on_card =
            folder_exists && FindCardName(card_dir + "/" + resolved.substr(0, resolved.size() - 1), candidate,
                                          &is_folder)
                                 .has_value();
        if (!on_card && planned.count(Folded(resolved + candidate)) == 0) return resolved + candidate;
    }
}

bool FitsCard(const std::string& path) { return 1 + Utf16Length(path) <= kMaxVolumePath; }

// Where a kept leftover goes: recovered/<its file's path>.<its name> when
// the file is known, else recovered/<its name>.
std::string PlanKeepPath(const std::string& card_dir, const Leftover& leftover, std::set<std::u16string>& planned) {
    const std::string flat = std::string(kRecoveredFolder) + "/" + leftover.name;
    std::optional<std::string> path;
    if (!leftover.owner.empty()) {
        const std::string named = std::string(kRecoveredFolder) + "/" + leftover.owner + "." + leftover.name;
        if (FitsCard(named)) path = FreeKeepPath(card_dir, named, planned);
    }
    if (!path || !FitsCard(*path)) path = FreeKeepPath(card_dir, flat, planned);
    if (!path) path = flat;  // "recovered" is a file: the move will say so
    planned.insert(Folded(*path));
    return *path;
}

// ---- Carrying it out -------------------------------------------------------

// Makes the folders of `path` below the card root; the deepest one's
// descriptor, or nothing with the errno.
std::optional<UniqueFd> MakeFolders(int root, const std::string& path, int* error) {
    UniqueFd dir(::openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        if (slash == std::string::npos) break;
        const std::string component = path.substr(start, slash - start);
        if (::mkdirat(dir.Get(), component.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = errno;
            return std::nullopt;
        }
        UniqueFd next(::openat(dir.Get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.Valid()) {
            *error = errno;
            return std::nullopt;
        }
        ::fsync(dir.Get());  // the new folder's entry
        dir = std::move(next);
        start = slash + 1;
    }
    return dir;
}

// Moves the root file `name` to `path`, never over a file there.
int MoveNoReplace(int root, const std::string& name, int target_dir, const std::string& last) {
    if (::renameat2(root, name.c_str(), target_dir, last.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A host that cannot promise it: the card is not in use, so a look
    // first serves.
    struct stat existing {};
    if (::fstatat(target_dir, last.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return ::renameat(root, name.c_str(), target_dir, last.c_str()) == 0 ? 0 : errno;
}

}  // namespace

std::optional<LeftoverKind> LeftoverKindOf(std::string_view host_name) {
    if (host_name.size() != 9) return std::nullopt;
    const char prefix = host_name[0];
    for (size_t i = 1; i < 5; ++i) {
        if (!IsHexDigit(host_name[i])) return std::nullopt;
    }
    if (Folded(host_name.substr(5)) != u".TMP") return std::nullopt;
    if (prefix == 'v' || prefix == 'V') return LeftoverKind::kExpansion;
    if (prefix == 'y' || prefix == 'Y') return LeftoverKind::kStaging;
    return std::nullopt;
}

std::optional<RecoveryPlan> PlanRecovery(const std::string& card_dir, std::string* error) {
    namespace fs = std::filesystem;
    RecoveryPlan plan;
    std::error_code list_error;
    fs::directory_iterator root(card_dir, list_error);
    if (list_error) {
        *error = card_dir + ": " + list_error.message();
        return std::nullopt;
    }
    std::set<std::string> names;
    for (const fs::directory_entry& entry : root) {
        const std::string name = entry.path().filename().string();
        std::error_code status_error;
        if (!LeftoverKindOf(name) || !fs::is_regular_file(entry.symlink_status(status_error))) continue;
        names.insert(name);
    }

    std::vector<CardFile> files;
    CollectCardFiles(card_dir, names, files, plan.problems);
    // An expansion file is a copy that a staging file can have been encoded
    // from; never the other way round, so that no two leftovers can each be
    // the other's only reason to go.
    for (const std::string& name : names) {
        if (*LeftoverKindOf(name) != LeftoverKind::kExpansion) continue;
        CardFile expansion;
        expansion.path = name;
        expansion.host_path = card_dir + "/" + name;
        expansion.is_expansion = true;
        expansion.may_own = false;
        if (Describe(expansion, false)) files.push_back(std::move(expansion));
    }

    // Expansion files first: a staging file encoded from one belonged to
    // the same file.
    std::set<std::u16string> planned;
    for (const LeftoverKind kind : {LeftoverKind::kExpansion, LeftoverKind::kStaging}) {
        for (const std::string& name : names) {
            if (*LeftoverKindOf(name) != kind) continue;
            Leftover leftover;
            leftover.name = name;
            leftover.kind = kind;
            CardFile facts;
            facts.host_path = card_dir + "/" + name;
            if (!Describe(facts, false)) {
                leftover.finding = "cannot be read: left where it is";
                plan.leftovers.push_back(std::move(leftover));
                continue;
            }
            leftover.size = facts.plain_size;  // read raw: the bytes it takes
            if (kind == LeftoverKind::kExpansion) {
                JudgeExpansion(leftover, facts.host_path, facts.created, files);
                for (CardFile& file : files) {
                    if (file.is_expansion && file.path == name) file.owner = leftover.owner;
                }
            } else {
                JudgeStaging(leftover, facts.host_path, facts.created, files);
            }
            if (leftover.fate == LeftoverFate::kKeep) leftover.keep_as = PlanKeepPath(card_dir, leftover, planned);
            plan.leftovers.push_back(std::move(leftover));
        }
    }
    std::sort(plan.leftovers.begin(), plan.leftovers.end(),
              [](const Leftover& a, const Leftover& b) { return a.name < b.name; });
    return plan;
}

std::vector<RecoveryAction> ApplyRecovery(const std::string& card_dir, const RecoveryPlan& plan) {
    std::vector<RecoveryAction> actions(plan.leftovers.size());
    UniqueFd root(::open(card_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.Valid()) {
        const std::string why = card_dir + ": " + HostErrorText(errno);
        for (RecoveryAction& action : actions) action.error = why;
        return actions;
    }
    std::set<std::u16string> planned;
    // Kept ones first: should the card refuse a move, nothing has been
    // removed on its account.
    for (const bool keeping : {true, false}) {
        for (size_t i = 0; i < plan.leftovers.size(); ++i) {
            const Leftover& leftover = plan.leftovers[i];
            RecoveryAction& action = actions[i];
            if (keeping && leftover.fate == LeftoverFate::kKeep) {
                std::string path = leftover.keep_as;
                for (int attempt = 0; attempt < 100; ++attempt) {
                    int error = 0;
                    std::optional<UniqueFd> folder = MakeFolders(root.Get(), path, &error);
                    if (!folder) {
                        action.error = "cannot make the folder for " + path + ": " + HostErrorText(error);
                        break;
                    }
                    const std::string last = path.substr(path.rfind('/') + 1);
                    error = MoveNoReplace(root.Get(), leftover.name, folder->Get(), last);
                    if (error == 0) {
                        action.done = true;
                        action.kept_as = path;
                        ::fsync(folder->Get());
                        break;
                    }
                    if (error != EEXIST && error != ENOTEMPTY) {
                        action.error = "cannot move it to " + path + ": " + HostErrorText(error);
                        break;
                    }
                    // Taken since the plan was made: the next free name.
                    planned.insert(Folded(path));
                    const std::optional<std::string> free = FreeKeepPath(card_dir, path, planned);
                    if (!free) {
                        action.error = "cannot move it to " + path + ": a folder on the way is a file";
                        break;
                    }
                    path = *free;
                }
            } else if (!keeping && leftover.fate == LeftoverFate::kRemove) {
                if (::unlinkat(root.Get(), leftover.name.c_str(), 0) == 0 || errno == ENOENT) {
                    action.done = true;
                } else {
                    action.error = "cannot remove it: " + HostErrorText(errno);
                }
            } else if (leftover.fate == LeftoverFate::kUntouched && keeping) {
                action.error = "left where it is";
            }
        }
    }
    ::fsync(root.Get());
    return actions;
}

}  // namespace quillane::cli
