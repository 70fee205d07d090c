// Building and taking down a card's layer stack (see card.h).
#include "platform/storage/card.h"

#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/storage/storage_config.h"

namespace platform::storage {

std::shared_ptr<Card> Card::Build(std::u16string_view folder_name, const std::string& host_dir,
                                  const MountOptions& options, DWORD* error, std::string* message) {
    const std::string where = "card \\" + Utf8FromUtf16Lossy(folder_name) + ": ";
    std::shared_ptr<Card> card(new Card(std::u16string(folder_name), host_dir));
    std::string why_locked;

    // One server per card: a second one refuses before it touches a file.
    card->lock_ = CardLock::Take(host_dir, &why_locked);
    if (card->lock_ == nullptr) {
        *error = ERROR_SHARING_VIOLATION;
        *message = where + why_locked;
        return nullptr;
    }
    card->fat_ = fat::Volume::Open(host_dir);
    if (card->fat_ == nullptr) {
        *error = GetLastError();
        *message = where + "cannot open the host directory " + host_dir + " (error " + std::to_string(*error) + ")";
        return nullptr;
    }
    HookTable below = card->fat_->Hooks();
    if (options.wrap_bottom) below = options.wrap_bottom(below);

    std::vector<FilterEntry> filters;
    std::string why;
    if ((*error = ReadFilterEntries(&filters, &why)) != ERROR_SUCCESS) {
        *message = where + why;
        return nullptr;  // the destructor closes the FAT volume
    }
    for (const FilterEntry& entry : filters) {
        const std::string filter = where + "filter " + Utf8FromUtf16Lossy(entry.key_name) + ": ";
        const std::string path = LocateFilterLibrary(entry.dll, &why);
        if (path.empty()) {
            *error = ERROR_MOD_NOT_FOUND;
            *message = filter + why;
            return nullptr;  // the destructor unhooks what was attached
        }
        std::unique_ptr<FilterLibrary> library = FilterLibrary::Load(path, error, &why);
        if (library == nullptr) {
            *message = filter + why;
            return nullptr;
        }
        // The filter keeps its own copy; this one may go once it returns.
        HookTable next_layer = below;
        // The disk handle identifies the card to the filter; no layer reads it.
        const HANDLE record = library->HookVolume()(card.get(), &next_layer);
        if (record == nullptr || record == INVALID_HANDLE_VALUE) {
            *error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
            *message = filter + "HookVolume of " + path + " refused the volume (error " + std::to_string(*error) + ")";
            return nullptr;
        }
        below = library->LayerTable(record);
        card->filters_.push_back(StackedFilter{std::move(library), record});
    }
    card->top_ = below;
    card->volume_open_ = true;
    *error = ERROR_SUCCESS;
    return card;
}

Card::~Card() { Dismantle(); }

void Card::Dismantle() {
    if (volume_open_) {
        top_.CloseVolume(top_.volume);
        volume_open_ = false;
    }
    Unhook();
    fat_.reset();
    // Another server of the card may start at once, in this process too.
    lock_.reset();
}

void Card::Unhook() {
    while (!filters_.empty()) {
        StackedFilter& top = filters_.back();
        top.library->UnhookVolume()(top.volume_record);
        filters_.pop_back();  // unloads the library once no card uses it
    }
}

}  // namespace platform::storage
