// A host folder mounted as a card for the length of one command, through the
// storage manager and so under the filter, as convert and demo need it: the
// filter is installed first when the registry does not name its library, and
// the card is unmounted (every handle closed through the filter) at the end
// of the session's scope. Not the FUSE mount, which runs its own storage
// manager in its own process.
#pragma once

#include <memory>
#include <string>

#include "platform/core/types.h"

namespace quillane::cli {

class CardSession {
public:
    // The card folder the session mounts, as on the handheld.
    static constexpr char16_t kFolderName[] = u"Storage Card";

    // Mounts `host_dir`, unless another program (a mount, the settings
    // program) serves it: the card's lock (platform/storage/card_lock.h).
    // On failure gives null with the reason in `error`.
    // `installed` tells whether the filter had to be installed first.
    static std::unique_ptr<CardSession> Open(const std::string& host_dir, std::string* error, bool* installed);

    ~CardSession();
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

    // "\Storage Card": the card's root path in the platform's file API.
    const std::u16string& Root() const { return root_; }
    const std::string& HostDirectory() const { return host_dir_; }

private:
    CardSession(std::string host_dir) : root_(std::u16string(u"\\") + kFolderName), host_dir_(std::move(host_dir)) {}
    std::u16string root_;
    std::string host_dir_;
};

// Whether the registry names the filter's library (the `Dll` value under its
// key); installs it when not. Returns the registry's error, ERROR_SUCCESS
// when the filter is (now) installed.
DWORD EnsureFilterInstalled(bool* installed);

}  // namespace quillane::cli
