// Mounting and unmounting cards (see storage_manager.h). The file API over
// the mounted cards is file_api.cc.
#include "platform/storage/storage_manager.h"

#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/storage/removable_mounts.h"
#include "platform/storage/storage_config.h"
#include "platform/storage/storage_state.h"

namespace platform {
namespace {

using storage::Card;

// A card folder name must be one path component that a program can name.
bool IsValidFolderName(std::u16string_view name) {
    if (name.empty() || name.size() >= MAX_PATH || name == u"." || name == u"..") return false;
    return name.find_first_of(u"\\/*?") == std::u16string_view::npos;
}

}  // namespace

std::shared_ptr<Card> StorageManager::State::FindCard(std::u16string_view folder_name) const {
    std::lock_guard lock(cards_mutex);
    for (const auto& card : cards) {
        if (WideCompareNoCase(card->FolderName(), folder_name) == 0) return card;
    }
    return nullptr;
}

std::vector<std::shared_ptr<Card>> StorageManager::State::Cards() const {
    std::lock_guard lock(cards_mutex);
    return cards;
}

namespace storage {

BOOL CloseOpenHandle(HandleTable& handles, HANDLE handle, bool for_unmount) {
    std::shared_ptr<OpenHandle> entry;
    if (!handles.BeginClose(handle, for_unmount, &entry)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL closed = TRUE;
    if (entry->kind == HandleKind::kFile) {
        closed = entry->card->Top().CloseFile(entry->layer_handle);
    } else if (entry->kind == HandleKind::kSearch) {
        closed = entry->card->Top().FindClose(entry->layer_handle);
    }
    // The layer's handle is gone whatever its close answers (a failure says
    // that data may not have reached the card), so the program's handle goes
    // with it: closing it again could reach a handle the layer has since
    // given to another file.
    const DWORD error = GetLastError();
    handles.EndClose(handle);
    if (!closed) SetLastError(error);
    return closed;
}

}  // namespace storage

StorageManager::StorageManager() : state_(std::make_unique<State>()) {}

StorageManager::~StorageManager() { UnmountAll(); }

StorageManager& StorageManager::Instance() {
    static StorageManager manager;
    return manager;
}

DWORD StorageManager::MountCard(std::u16string_view folder_name, const std::string& host_dir, std::string* message,
                                const MountOptions& options) {
    std::string ignored;
    std::string& why = message != nullptr ? *message : ignored;
    why.clear();
    if (!IsValidFolderName(folder_name)) {
        why = "\"" + Utf8FromUtf16Lossy(folder_name) + "\" cannot be a card folder name";
        return ERROR_INVALID_NAME;
    }
    std::lock_guard mount_lock(state_->mount_mutex);
    if (const auto mounted = state_->FindCard(folder_name)) {
        why = "card \\" + Utf8FromUtf16Lossy(mounted->FolderName()) + " is already mounted";
        return ERROR_ALREADY_EXISTS;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Card> card = Card::Build(folder_name, host_dir, options, &error, &why);
    if (card == nullptr) return error;
    std::lock_guard lock(state_->cards_mutex);
    state_->cards.push_back(std::move(card));
    return ERROR_SUCCESS;
}

DWORD StorageManager::UnmountCard(std::u16string_view folder_name) {
    std::lock_guard mount_lock(state_->mount_mutex);
    std::shared_ptr<Card> card = state_->FindCard(folder_name);
    if (card == nullptr) return ERROR_FILE_NOT_FOUND;
    {
        std::unique_lock gate(card->gate);
        card->unmounted = true;
    }
    {
        std::lock_guard lock(state_->cards_mutex);
        std::erase(state_->cards, card);
    }
    DWORD result = ERROR_SUCCESS;
    for (const auto& [handle, entry] : state_->handles.OfCard(card.get())) {
        if (!storage::CloseOpenHandle(state_->handles, handle, true) && result == ERROR_SUCCESS) {
            result = GetLastError();
            if (result == ERROR_INVALID_HANDLE) result = ERROR_SUCCESS;  // a program closed it meanwhile
        }
    }
    card->Dismantle();
    return result;
}

void StorageManager::UnmountAll() {
    for (const auto& card : state_->Cards()) UnmountCard(card->FolderName());
}

DWORD StorageManager::MountConfiguredCards(std::vector<std::string>* messages) {
    std::vector<std::string> ignored;
    std::vector<std::string>& notes = messages != nullptr ? *messages : ignored;
    std::vector<storage::CardEntry> cards;
    bool discover = true;
    DWORD result = storage::ReadCardEntries(&cards, &discover, &notes);

    auto mount = [&](std::u16string_view name, const std::string& host_dir) {
        std::string why;
        const DWORD error = MountCard(name, host_dir, &why);
        if (error != ERROR_SUCCESS) {
            notes.push_back(why);
            if (result == ERROR_SUCCESS) result = error;
        }
    };
    for (const auto& card : cards) mount(card.folder_name, card.host_path);
    if (!discover) return result;
    for (const auto& found : storage::HostRemovableMounts()) {
        bool known = false;
        for (const auto& card : state_->Cards()) {
            known = known || card->HostDirectory() == found.host_path ||
                    WideCompareNoCase(card->FolderName(), found.folder_name) == 0;
        }
        if (!known) mount(found.folder_name, found.host_path);
    }
    return result;
}

std::vector<std::u16string> StorageManager::CardNames() const {
    std::vector<std::u16string> names;
    for (const auto& card : state_->Cards()) names.push_back(card->FolderName());
    return names;
}

}  // namespace platform
