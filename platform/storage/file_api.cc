// The platform's file API over the mounted cards (see file_api.h): path
// calls are split into a card and a path within its volume and sent to the
// top of that card's stack; handle calls find their layer handle through the
// handle table. The root holds nothing but the card folders.
#include "platform/storage/file_api.h"

#include <unistd.h>

#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"
#include "platform/fat/wildcard.h"
#include "platform/storage/storage_state.h"

namespace platform {
namespace {

using storage::Card;
using storage::HandleKind;
using storage::OpenHandle;
using storage::StorageAccess;

constexpr DWORD kCardFolderAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

// The handle a layer is given as the calling process: the handheld passes
// its caller's process handle, which the filter hands on to its own opens.
HANDLE CurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(::getpid())); }

struct Route {
    enum class Kind {
        kRoot,        // "\" itself
        kCardFolder,  // "\Storage Card": a mounted card's folder
        kAtRoot,      // "\name": a name at the root that is no card
        kInCard,      // "\Storage Card\...": `volume_path` on `card`
        kNowhere,     // "\name\...": under a folder that is no card
    };
    Kind kind;
    std::shared_ptr<Card> card;
    std::u16string volume_path;  // kInCard, with its leading "\"
    std::u16string root_name;    // kCardFolder, kAtRoot
};

// The handheld has no current directory: a path without a leading "\" is
// taken from the root all the same.
Route Resolve(LPCWSTR path) {
    const std::u16string_view text(path);
    const size_t start = text.find_first_not_of(u'\\');
    if (start == std::u16string_view::npos) return Route{Route::Kind::kRoot, nullptr, {}, {}};
    const size_t end = text.find(u'\\', start);
    const std::u16string_view first = text.substr(start, end == std::u16string_view::npos ? end : end - start);
    std::shared_ptr<Card> card = StorageAccess::State().FindCard(first);
    if (end == std::u16string_view::npos) {
        return Route{card != nullptr ? Route::Kind::kCardFolder : Route::Kind::kAtRoot, std::move(card), {},
                     std::u16string(first)};
    }
    if (card == nullptr) return Route{Route::Kind::kNowhere, nullptr, {}, {}};
    return Route{Route::Kind::kInCard, std::move(card), std::u16string(text.substr(end)), std::u16string(first)};
}

// The error of a call on a path that is not inside a card: the root and the
// card folders belong to the storage manager and cannot be changed, nothing
// can be created at the root, and anything else there does not exist.
DWORD OutsideCardError(const Route& route, bool creates) {
    switch (route.kind) {
        case Route::Kind::kRoot:
        case Route::Kind::kCardFolder:
            return ERROR_ACCESS_DENIED;
        case Route::Kind::kAtRoot:
            return creates ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
        default:
            return ERROR_PATH_NOT_FOUND;
    }
}

template <class Result>
Result Fail(DWORD error, Result failure) {
    SetLastError(error);
    return failure;
}

// Runs `call(top, volume_path)` on the route's card, holding the card's gate
// shared so that an unmount waits for it.
template <class Result, class Call>
Result OnCard(const Route& route, Result failure, Call&& call) {
    std::shared_lock gate(route.card->gate);
    if (route.card->unmounted) return Fail(ERROR_PATH_NOT_FOUND, failure);
    return call(route.card->Top(), route.volume_path.c_str());
}

// A one-path call: kInCard goes to the card, anything else fails as
// OutsideCardError says.
template <class Result, class Call>
Result OnPath(LPCWSTR path, Result failure, bool creates, Call&& call) {
    if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER, failure);
    const Route route = Resolve(path);
    if (route.kind != Route::Kind::kInCard) return Fail(OutsideCardError(route, creates), failure);
    return OnCard(route, failure, call);
}

// A two-path call (rename, replace): both on one card.
template <class Call>
BOOL OnTwoPaths(LPCWSTR first, LPCWSTR second, Call&& call) {
    if (first == nullptr || second == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    const Route from = Resolve(first);
    const Route to = Resolve(second);
    if (from.kind != Route::Kind::kInCard) return Fail(OutsideCardError(from, false), FALSE);
    if (to.kind != Route::Kind::kInCard) return Fail(OutsideCardError(to, true), FALSE);
    if (from.card != to.card) return Fail(ERROR_NOT_SUPPORTED, FALSE);
    std::shared_lock gate(from.card->gate);
    if (from.card->unmounted) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    return call(from.card->Top(), from.volume_path.c_str(), to.volume_path.c_str());
}

// Runs `call(top, layer_handle)` for a live program handle of `kind`,
// pinning it so that a close waits for the call.
template <class Result, class Call>
Result OnHandle(HANDLE handle, HandleKind kind, Result failure, Call&& call) {
    const auto pin = StorageAccess::State().handles.Acquire(handle);
    if (!pin || pin->kind != kind) return Fail(ERROR_INVALID_HANDLE, failure);
    return call(pin->card->Top(), pin->layer_handle);
}

// Gives a new program handle for a layer handle just opened on `card`; if
// the table is full, closes the layer handle again.
HANDLE Issue(std::shared_ptr<OpenHandle> entry) {
    StorageManager::State& state = StorageAccess::State();
    const HANDLE handle = state.handles.Insert(entry);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const HookTable& top = entry->card->Top();
    if (entry->kind == HandleKind::kFile) {
        top.CloseFile(entry->layer_handle);
    } else {
        top.FindClose(entry->layer_handle);
    }
    return Fail(ERROR_TOO_MANY_OPEN_FILES, INVALID_HANDLE_VALUE);
}

bool Opened(HANDLE layer_handle) { return layer_handle != INVALID_HANDLE_VALUE && layer_handle != nullptr; }

BOOL Close(HANDLE handle, bool search) {
    StorageManager::State& state = StorageAccess::State();
    {
        const auto pin = state.handles.Acquire(handle);
        const bool kind_fits = pin && (search ? pin->kind != HandleKind::kFile : pin->kind == HandleKind::kFile);
        if (!kind_fits) return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return storage::CloseOpenHandle(state.handles, handle, false);
}

WIN32_FIND_DATAW CardFolderEntry(const Card& card) {
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = kCardFolderAttributes;
    WideCopy(data.cFileName, MAX_PATH, card.FolderName().c_str());
    return data;
}

// A search at the root: the card folders whose names match `pattern`.
HANDLE FindCards(std::u16string_view pattern, LPWIN32_FIND_DATAW find_data) {
    auto entry = std::make_shared<OpenHandle>();
    entry->kind = HandleKind::kCardList;
    for (const auto& card : StorageAccess::State().Cards()) {
        if (fat::MatchesPattern(pattern, card->FolderName())) entry->card_list.push_back(CardFolderEntry(*card));
    }
    if (entry->card_list.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *find_data = entry->card_list[0];
    entry->next_entry = 1;
    const HANDLE handle = StorageAccess::State().handles.Insert(std::move(entry));
    if (handle == INVALID_HANDLE_VALUE) SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return handle;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags_and_attributes, HANDLE /*template_file: ignored, as on the handheld*/) {
    if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const Route route = Resolve(path);
    if (route.kind != Route::Kind::kInCard) return Fail(OutsideCardError(route, true), INVALID_HANDLE_VALUE);
    return OnCard(route, INVALID_HANDLE_VALUE, [&](const HookTable& top, LPCWSTR volume_path) {
        const HANDLE layer = top.CreateFileW(top.volume, CurrentProcess(), volume_path, access, share_mode, security,
                                             disposition, flags_and_attributes, nullptr);
        if (!Opened(layer)) {
            if (layer == nullptr) SetLastError(ERROR_GEN_FAILURE);
            return INVALID_HANDLE_VALUE;
        }
        auto entry = std::make_shared<OpenHandle>();
        entry->kind = HandleKind::kFile;
        entry->card = route.card;
        entry->layer_handle = layer;
        return Issue(std::move(entry));
    });
}

HANDLE FindFirstFileW(LPCWSTR search_path, LPWIN32_FIND_DATAW find_data) {
    if (search_path == nullptr || find_data == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const Route route = Resolve(search_path);
    switch (route.kind) {
        case Route::Kind::kRoot:
            return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        case Route::Kind::kCardFolder:
        case Route::Kind::kAtRoot:
            return FindCards(route.root_name, find_data);
        case Route::Kind::kNowhere:
            return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
        case Route::Kind::kInCard:
            break;
    }
    return OnCard(route, INVALID_HANDLE_VALUE, [&](const HookTable& top, LPCWSTR volume_pattern) {
        const HANDLE layer = top.FindFirstFileW(top.volume, CurrentProcess(), volume_pattern, find_data);
        if (!Opened(layer)) {
            if (layer == nullptr) SetLastError(ERROR_GEN_FAILURE);
            return INVALID_HANDLE_VALUE;
        }
        auto entry = std::make_shared<OpenHandle>();
        entry->kind = HandleKind::kSearch;
        entry->card = route.card;
        entry->layer_handle = layer;
        return Issue(std::move(entry));
    });
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (path != nullptr) {
        const Route route = Resolve(path);
        if (route.kind == Route::Kind::kRoot || route.kind == Route::Kind::kCardFolder) {
            return Fail(ERROR_ALREADY_EXISTS, FALSE);
        }
    }
    return OnPath(path, FALSE, true, [&](const HookTable& top, LPCWSTR volume_path) {
        return top.CreateDirectoryW(top.volume, volume_path, security);
    });
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    return OnPath(path, FALSE, false, [&](const HookTable& top, LPCWSTR volume_path) {
        return top.RemoveDirectoryW(top.volume, volume_path);
    });
}

DWORD GetFileAttributesW(LPCWSTR path) {
    if (path != nullptr) {
        const Route route = Resolve(path);
        if (route.kind == Route::Kind::kRoot) return FILE_ATTRIBUTE_DIRECTORY;
        if (route.kind == Route::Kind::kCardFolder) return kCardFolderAttributes;
    }
    return OnPath(path, INVALID_FILE_ATTRIBUTES, false, [&](const HookTable& top, LPCWSTR volume_path) {
        return top.GetFileAttributesW(top.volume, volume_path);
    });
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    return OnPath(path, FALSE, false, [&](const HookTable& top, LPCWSTR volume_path) {
        return top.SetFileAttributesW(top.volume, volume_path, attributes);
    });
}

BOOL DeleteFileW(LPCWSTR path) {
    return OnPath(path, FALSE, false, [&](const HookTable& top, LPCWSTR volume_path) {
        return top.DeleteFileW(top.volume, volume_path);
    });
}

BOOL MoveFileW(LPCWSTR old_path, LPCWSTR new_path) {
    return OnTwoPaths(old_path, new_path, [&](const HookTable& top, LPCWSTR from, LPCWSTR to) {
        return top.MoveFileW(top.volume, from, to);
    });
}

BOOL DeleteAndRenameFileW(LPCWSTR destination, LPCWSTR source) {
    // Checked as (source, destination): the source must exist on a card, the
    // destination is where a name is made.
    return OnTwoPaths(source, destination, [&](const HookTable& top, LPCWSTR from, LPCWSTR to) {
        return top.DeleteAndRenameFileW(top.volume, to, from);
    });
}

BOOL GetDiskFreeSpaceExW(LPCWSTR path, PULARGE_INTEGER free_to_caller, PULARGE_INTEGER total,
                         PULARGE_INTEGER total_free) {
    if (path == nullptr) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    Route route = Resolve(path);
    if (route.kind == Route::Kind::kCardFolder) {
        route.kind = Route::Kind::kInCard;
        route.volume_path.assign(1, u'\\');
    }
    if (route.kind != Route::Kind::kInCard) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    return OnCard(route, FALSE, [&](const HookTable& top, LPCWSTR volume_path) {
        DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
        if (!top.GetDiskFreeSpaceW(top.volume, volume_path, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                                   &total_clusters)) {
            return FALSE;
        }
        // From the top layer's counts, so a filter's view of the capacity is
        // what programs see.
        const ULONGLONG cluster = static_cast<ULONGLONG>(sectors_per_cluster) * bytes_per_sector;
        if (free_to_caller != nullptr) free_to_caller->QuadPart = cluster * free_clusters;
        if (total != nullptr) total->QuadPart = cluster * total_clusters;
        if (total_free != nullptr) total_free->QuadPart = cluster * free_clusters;
        return TRUE;
    });
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.ReadFile(h, buffer, count, count_read, overlapped);
    });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED overlapped) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.WriteFile(h, buffer, count, count_written, overlapped);
    });
}

BOOL ReadFileWithSeek(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped,
                      DWORD offset_low, DWORD offset_high) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.ReadFileWithSeek(h, buffer, count, count_read, overlapped, offset_low, offset_high);
    });
}

BOOL WriteFileWithSeek(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED overlapped,
                       DWORD offset_low, DWORD offset_high) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.WriteFileWithSeek(h, buffer, count, count_written, overlapped, offset_low, offset_high);
    });
}

DWORD SetFilePointer(HANDLE file, LONG distance_low, PLONG distance_high, DWORD move_method) {
    return OnHandle(file, HandleKind::kFile, INVALID_SET_FILE_POINTER, [&](const HookTable& top, HANDLE h) {
        return top.SetFilePointer(h, distance_low, distance_high, move_method);
    });
}

DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
    return OnHandle(file, HandleKind::kFile, DWORD{0xFFFFFFFFu},
                    [&](const HookTable& top, HANDLE h) { return top.GetFileSize(h, size_high); });
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.GetFileInformationByHandle(h, information);
    });
}

BOOL FlushFileBuffers(HANDLE file) {
    return OnHandle(file, HandleKind::kFile, FALSE,
                    [&](const HookTable& top, HANDLE h) { return top.FlushFileBuffers(h); });
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access, LPFILETIME last_write) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.GetFileTime(h, creation, last_access, last_write);
    });
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.SetFileTime(h, creation, last_access, last_write);
    });
}

BOOL SetEndOfFile(HANDLE file) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) { return top.SetEndOfFile(h); });
}

BOOL DeviceIoControl(HANDLE file, DWORD control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
                     DWORD out_size, LPDWORD bytes_returned, LPOVERLAPPED overlapped) {
    return OnHandle(file, HandleKind::kFile, FALSE, [&](const HookTable& top, HANDLE h) {
        return top.DeviceIoControl(h, control_code, in_buffer, in_size, out_buffer, out_size, bytes_returned,
                                   overlapped);
    });
}

BOOL CloseHandle(HANDLE file) { return Close(file, false); }

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW find_data) {
    {
        const auto pin = StorageAccess::State().handles.Acquire(search);
        if (pin && pin->kind == HandleKind::kCardList) {
            std::lock_guard lock(pin->list_mutex);
            if (pin->next_entry >= pin->card_list.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
            if (find_data == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
            *find_data = pin->card_list[pin->next_entry++];
            return TRUE;
        }
    }
    return OnHandle(search, HandleKind::kSearch, FALSE,
                    [&](const HookTable& top, HANDLE h) { return top.FindNextFileW(h, find_data); });
}

BOOL FindClose(HANDLE search) { return Close(search, true); }

}  // namespace platform
