// Converting a mounted card (see card_conversion.h).
#include "cli/card_conversion.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/card_leftovers.h"
#include "cli/card_session.h"
#include "cli/card_walk.h"
#include "cli/messages.h"
#include "filter/codec/codec.h"
#include "filter/exempt_test.h"
#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/fat/fat_volume.h"
#include "platform/fat/unique_fd.h"
#include "platform/storage/file_api.h"

namespace quillane::cli {
namespace {

// What the host folder holds for one file: its size and whether it begins
// with the signature. Read from the host, below the filter, since opening
// the file through the filter would expand it.
struct HostState {
    bool present = false;
    std::uint64_t size = 0;
    bool compressed = false;
};

HostState ReadHostState(const std::string& path) {
    HostState state;
    platform::fat::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0) return state;
    state.present = true;
    state.size = static_cast<std::uint64_t>(status.st_size);
    BYTE prefix[kCodecSignatureSize];
    size_t got = 0;
    while (got < sizeof prefix) {
        const ssize_t n = ::read(fd.Get(), prefix + got, sizeof prefix - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    state.compressed = CodecIsSignature(prefix, static_cast<DWORD>(got)) != FALSE;
    return state;
}

std::uint64_t EntrySize(const WIN32_FIND_DATAW& entry) {
    return (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

// Names at the card root that the conversion leaves out of its walk: the
// marker, which it makes itself, and the filter's working files.
bool IsLeftOut(const std::string& relative) {
    if (relative.find('/') != std::string::npos) return false;
    return ::strcasecmp(relative.c_str(), platform::Utf8FromUtf16Lossy(kMarkerName).c_str()) == 0 ||
           LeftoverKindOf(relative).has_value();
}

// The path within the volume, as the filter sees it ("\Music\b.mp3").
std::u16string VolumePath(const CardSession& session, const std::u16string& card_path) {
    return card_path.substr(session.Root().size());
}

}  // namespace

std::string RelativeHostPath(const CardSession& session, const std::u16string& card_path) {
    std::string relative = platform::Utf8FromUtf16Lossy(VolumePath(session, card_path));
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    if (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
    return relative;
}

ConversionReport ConvertCard(const CardSession& session, const ConversionProgress& progress) {
    ConversionReport report;
    const std::string marker_host_path = session.HostDirectory() + "/" + platform::Utf8FromUtf16Lossy(kMarkerName);
    report.marker_existed = ReadHostState(marker_host_path).present;
    WalkCard(session.Root(), WalkEvents{
                                 [&](const std::u16string& path, const WIN32_FIND_DATAW&) {
                                     if (!IsLeftOut(RelativeHostPath(session, path))) ++report.files_total;
                                 },
                                 nullptr,
                                 nullptr,
                             });

    const auto convert_file = [&](const std::u16string& path, const WIN32_FIND_DATAW& entry) {
        const std::string relative = RelativeHostPath(session, path);
        if (IsLeftOut(relative)) {
            if (LeftoverKindOf(relative)) report.leftovers.push_back(relative);
            return;
        }
        const std::string host_path = session.HostDirectory() + "/" + relative;
        if (progress) progress(report, relative);
        ++report.files_done;
        const std::uint64_t before = EntrySize(entry);

        const HANDLE file = platform::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = platform::GetLastError();
            if (error == ERROR_SHARING_VIOLATION) {
                report.held_open.push_back(relative);
            } else if (error == ERROR_FILE_CORRUPT) {
                report.damaged.push_back(relative);
            } else {
                report.not_opened.push_back(relative + " (" + PlatformErrorText(error) + ")");
            }
            report.bytes_before += before;
            report.bytes_after += before;
            return;
        }
        // Through the filter the flush marks the handle written, so the
        // close stores the file compressed.
        platform::FlushFileBuffers(file);
        const BOOL closed = platform::CloseHandle(file);
        const DWORD close_error = closed ? ERROR_SUCCESS : platform::GetLastError();

        const HostState after = ReadHostState(host_path);
        report.bytes_before += before;
        report.bytes_after += after.present ? after.size : 0;
        if (!closed) {
            // Whatever the host folder now shows, the card did not confirm it.
            report.close_failed.push_back(relative + " (" + PlatformErrorText(close_error) + ")");
        } else if (!after.present) {
            report.left_plain.push_back(relative + " (gone after its close)");
        } else if (after.compressed) {
            ++report.compressed;
        } else if (after.size == 0) {
            report.empty.push_back(relative);
        } else if (quillane_filter::IsExempt(VolumePath(session, path).c_str())) {
            report.exempt.push_back(relative);
        } else {
            report.left_plain.push_back(relative + " (the filter left it plain)");
        }
    };
    WalkCard(session.Root(),
             WalkEvents{
                 convert_file,
                 [&](const std::u16string& path, bool is_folder) {
                     report.too_long.push_back(RelativeHostPath(session, path) + (is_folder ? "/ (folder)" : ""));
                 },
                 [&](const std::u16string& path, DWORD error) {
                     report.unreadable.push_back(RelativeHostPath(session, path) + "/ (" + PlatformErrorText(error) +
                                                 ")");
                 },
             });

    // After every conversion, whatever happened to single files: the marker
    // makes the filter report the card's capacity doubled.
    const std::u16string marker = session.Root() + u"\\" + kMarkerName;
    const HANDLE file =
        platform::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        report.marker_error = platform::GetLastError();
    } else if (!platform::CloseHandle(file)) {
        report.marker_error = platform::GetLastError();
    } else {
        report.marker_created = true;
    }
    // Whether the card keeps it hidden, as a volume opened afresh over it
    // sees it: a host without a place for attributes keeps them only for the
    // life of the volume that set them.
    if (const std::unique_ptr<platform::fat::Volume> fresh = platform::fat::Volume::Open(session.HostDirectory())) {
        HookTable hooks = fresh->Hooks();
        const DWORD attributes = hooks.GetFileAttributesW(hooks.volume, kMarkerName);
        report.marker_hidden = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    }
    return report;
}

}  // namespace quillane::cli
