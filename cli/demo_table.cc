// What the demo puts side by side (see demo_table.h).
#include "cli/demo_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>

#include "cli/card_session.h"
#include "cli/messages.h"
#include "filter/codec/codec.h"
#include "platform/core/utf.h"
#include "platform/fat/unique_fd.h"
#include "platform/storage/file_api.h"

namespace quillane::cli {
namespace {

std::optional<std::uint64_t> PlainSize(const PlainView& view, const std::string& relative) {
    if (!view.mount_point.empty()) {
        struct stat status {};
        if (::stat((view.mount_point + "/" + relative).c_str(), &status) != 0) return std::nullopt;
        return static_cast<std::uint64_t>(status.st_size);
    }
    // Read through the filter, as a program on the card reads: a compressed
    // file opens as its plain copy. Nothing is written, so the close leaves
    // the file as it is.
    std::u16string path = view.session->Root() + u"\\" + platform::Utf16FromUtf8Lossy(relative);
    for (char16_t& unit : path) {
        if (unit == u'/') unit = u'\\';
    }
    const HANDLE file = platform::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    DWORD high = 0;
    const DWORD low = platform::GetFileSize(file, &high);
    platform::CloseHandle(file);
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

struct Stored {
    std::uint64_t size = 0;
    bool compressed = false;
};

std::optional<Stored> StoredOnCard(const std::string& path) {
    platform::fat::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0) return std::nullopt;
    BYTE prefix[kCodecSignatureSize];
    const ssize_t got = ::read(fd.Get(), prefix, sizeof prefix);
    return Stored{static_cast<std::uint64_t>(status.st_size),
                  got > 0 && CodecIsSignature(prefix, static_cast<DWORD>(got)) != FALSE};
}

}  // namespace

void PrintSizeTable(const std::vector<SampleFile>& files, const std::string& card_dir, const PlainView& view) {
    std::printf("  %-30s %-20s %14s %14s  %s\n", "file", "kind", "programs see", "card holds", "stored");
    std::uint64_t total_plain = 0;
    std::uint64_t total_stored = 0;
    for (const SampleFile& file : files) {
        const std::optional<std::uint64_t> plain = PlainSize(view, file.path);
        const std::optional<Stored> stored = StoredOnCard(card_dir + "/" + file.path);
        const std::string plain_text = plain ? std::to_string(*plain) : "?";
        const std::string stored_text = stored ? std::to_string(stored->size) : "?";
        // Data that does not compress goes into raw blocks: in the format,
        // but a few header bytes larger.
        const char* how = !stored                                         ? "?"
                          : !stored->compressed                           ? "plain"
                          : plain && stored->size >= *plain               ? "raw blocks, no gain"
                                                                          : "compressed";
        std::printf("  %-30s %-20s %14s %14s  %s\n", file.path.c_str(), file.what.c_str(), plain_text.c_str(),
                    stored_text.c_str(), how);
        total_plain += plain.value_or(0);
        total_stored += stored ? stored->size : 0;
    }
    std::printf("  %-30s %-20s %14llu %14llu  bytes\n", "total", "", static_cast<unsigned long long>(total_plain),
                static_cast<unsigned long long>(total_stored));
}

std::optional<std::uint64_t> SeenCapacity(const PlainView& view) {
    if (!view.mount_point.empty()) {
        struct statvfs status {};
        if (::statvfs(view.mount_point.c_str(), &status) != 0) return std::nullopt;
        return static_cast<std::uint64_t>(status.f_blocks) * status.f_frsize;
    }
    ULARGE_INTEGER free_to_caller{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER total_free{};
    const std::u16string root = view.session->Root() + u"\\";
    if (!platform::GetDiskFreeSpaceExW(root.c_str(), &free_to_caller, &total, &total_free)) return std::nullopt;
    return total.QuadPart;
}

}  // namespace quillane::cli
