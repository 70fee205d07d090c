// A card for the filter's tests: a fresh host folder on the real disk, the
// real FAT layer over it, optionally a fault layer between, and the filter
// hooked on top
// (its entries called directly, as the storage manager would). Also reads
// the card behind the filter's back: host bytes, decoded content, stray
// expansion ("v…") and staging ("y…") files at the root.
#pragma once

#include <functional>
#include <memory>

#include "filter/filter_api.h"
#include "filter/tests/test_support.h"
#include "platform/fat/fat_volume.h"

namespace quillane_test {

class Card {
public:
    // `wrap` puts a layer between the filter and the FAT layer (fault
    // injection); it returns the table the filter is hooked onto.
    explicit Card(std::function<HookTable(const HookTable&)> wrap = {});
    ~Card();

    const std::string& host() const { return folder_.path(); }
    std::string HostPath(std::string_view name) const;

    // The card behind the filter's back.
    void PutHostFile(std::string_view name, const Bytes& bytes);
    std::optional<Bytes> HostFile(std::string_view name) const;
    // The file's plain content: decoded when it carries the signature.
    std::optional<Bytes> Content(std::string_view name) const;
    bool IsCompressedOnCard(std::string_view name) const;
    // Names at the card root that look like expansion or staging files.
    std::vector<std::string> StrayTempFiles() const;
    size_t FatOpenHandles() const { return fat_->OpenHandleCount(); }

    // The filter's entries on this card.
    HANDLE volume() const { return volume_; }
    HANDLE Open(std::u16string_view name, DWORD access, DWORD disposition = OPEN_EXISTING,
                DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
    bool Write(HANDLE file, const Bytes& bytes);
    Bytes ReadAll(HANDLE file);
    // Writes `bytes` as a new file through the filter and closes it.
    bool WriteThrough(std::u16string_view name, const Bytes& bytes);
    std::optional<Bytes> ReadThrough(std::u16string_view name);

private:
    TempFolder folder_{"card"};
    std::unique_ptr<platform::fat::Volume> fat_;
    HookTable below_{};
    HANDLE volume_ = nullptr;
};

}  // namespace quillane_test
