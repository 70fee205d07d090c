// Tallying how a card's files are stored (see card_stats.h).
#include "cli/card_stats.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "cli/card_leftovers.h"
#include "cli/host_file.h"
#include "cli/messages.h"
#include "filter/codec/codec.h"

namespace quillane::cli {
namespace {

namespace fs = std::filesystem;

struct Judged {
    StoredKind kind;
    uint64_t plain_bytes;
};

// What one file holds, from its signature and its block headers.
std::optional<Judged> Judge(InputFile& input, const std::string& name,
                            const std::function<bool(const std::string&)>& exempt, std::string* error) {
    const auto size = static_cast<uint64_t>(input.Status().st_size);
    BYTE prefix[kCodecSignatureSize];
    const std::optional<size_t> got = input.Read(prefix);
    if (!got) {
        *error = HostErrorText(input.ReadError());
        return std::nullopt;
    }
    if (!CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
        if (size == 0) return Judged{StoredKind::kEmpty, 0};
        return Judged{exempt(name) ? StoredKind::kExempt : StoredKind::kPlain, size};
    }
    CodecScanReport report{};
    const CodecScanSource source = input.ScanSource();
    const CodecResult result = CodecScan(&source, FALSE, &report);
    if (result == kCodecSourceFailed) {
        *error = HostErrorText(input.ReadError());
        return std::nullopt;
    }
    if (result == kCodecNoMemory) {
        *error = "out of memory";
        return std::nullopt;
    }
    if (result == kCodecDamaged || report.damaged) return Judged{StoredKind::kDamaged, report.plainSize};
    return Judged{report.compressedBlocks > 0 ? StoredKind::kCompressed : StoredKind::kRawOnly, report.plainSize};
}

void Add(StoredTally& tally, uint64_t plain_bytes, uint64_t stored_bytes) {
    ++tally.files;
    tally.plain_bytes += plain_bytes;
    tally.stored_bytes += stored_bytes;
}

class Tally {
public:
    Tally(const std::function<bool(const std::string&)>& exempt, const std::function<void(const CardStats&)>& progress,
          CardStats* stats)
        : exempt_(exempt), progress_(progress), stats_(stats) {}

    void File(const fs::path& path, bool at_top) {
        const std::string name = path.filename().string();
        std::string error;
        std::optional<InputFile> input = InputFile::Open(path.string(), &error);
        if (!input) {
            stats_->unreadable.push_back(error);
            return;
        }
        if (!input->IsRegularFile()) return;
        const auto stored = static_cast<uint64_t>(input->Status().st_size);
        if (at_top && LeftoverKindOf(name)) {
            Add(stats_->leftovers, 0, stored);
            return;
        }
        const std::optional<Judged> judged = Judge(*input, name, exempt_, &error);
        if (!judged) {
            stats_->unreadable.push_back(path.string() + ": " + error);
            return;
        }
        Add(stats_->total, judged->plain_bytes, stored);
        Add(stats_->by_kind[static_cast<size_t>(judged->kind)], judged->plain_bytes, stored);
        if (progress_ && stats_->total.files % 64 == 0) progress_(*stats_);
    }

    void Folder(const fs::path& root) {
        ++stats_->folders;
        std::error_code error;
        fs::recursive_directory_iterator walk(root, error);
        if (error) {
            stats_->unreadable.push_back(root.string() + ": " + error.message());
            return;
        }
        for (; walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            if (error) {
                stats_->unreadable.push_back(walk->path().string() + ": " + error.message());
                error.clear();
                continue;
            }
            std::error_code type_error;
            const fs::file_status status = walk->symlink_status(type_error);
            if (fs::is_directory(status)) {
                ++stats_->folders;
            } else if (fs::is_regular_file(status)) {
                File(walk->path(), walk.depth() == 0);
            }
        }
        if (error) stats_->unreadable.push_back(root.string() + ": " + error.message());
    }

private:
    const std::function<bool(const std::string&)>& exempt_;
    const std::function<void(const CardStats&)>& progress_;
    CardStats* stats_;
};

}  // namespace

void TallyCard(const std::vector<std::string>& paths, const std::function<bool(const std::string& name)>& exempt,
               const std::function<void(const CardStats&)>& progress, CardStats* stats) {
    Tally tally(exempt, progress, stats);
    for (const std::string& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (error) {
            stats->unreadable.push_back(path + ": " + error.message());
        } else if (fs::is_directory(status)) {
            tally.Folder(path);
        } else if (fs::is_regular_file(status)) {
            tally.File(path, false);
        } else {
            stats->unreadable.push_back(path + ": neither a file nor a folder");
        }
    }
}

const char* KindTitle(StoredKind kind) {
    switch (kind) {
        case StoredKind::kCompressed: return "compressed";
        case StoredKind::kRawOnly: return "raw blocks only";
        case StoredKind::kPlain: return "plain";
        case StoredKind::kExempt: return "exempt type";
        case StoredKind::kEmpty: return "empty";
        case StoredKind::kDamaged: return "damaged";
    }
    return "?";
}

const char* KindKey(StoredKind kind) {
    switch (kind) {
        case StoredKind::kCompressed: return "compressed";
        case StoredKind::kRawOnly: return "raw_only";
        case StoredKind::kPlain: return "plain";
        case StoredKind::kExempt: return "exempt";
        case StoredKind::kEmpty: return "empty";
        case StoredKind::kDamaged: return "damaged";
    }
    return "?";
}

}  // namespace quillane::cli
