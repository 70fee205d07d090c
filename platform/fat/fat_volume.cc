// The FAT layer's volume: opening it over a host directory and handing out
// its hook table (see fat_volume.h).
#include "platform/fat/fat_volume.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/core/last_error.h"
#include "platform/fat/host_error.h"
#include "platform/fat/volume_state.h"

namespace platform::fat {

std::unique_ptr<Volume> Volume::Open(const std::string& host_dir) {
    auto state = std::make_unique<State>();
    state->host_dir = host_dir;
    state->root = UniqueFd(open(host_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!state->root.Valid()) {
        // A missing folder and a file in its place are named as the platform
        // names them for a folder; anything else as the host reported it.
        const int open_errno = errno;
        SetLastError(open_errno == ENOENT    ? ERROR_PATH_NOT_FOUND
                     : open_errno == ENOTDIR ? ERROR_DIRECTORY
                                             : ErrorFromErrno(open_errno));
        return nullptr;
    }
    state->store.SetKind(StoreKindFor(state->root.Get()));
    return std::unique_ptr<Volume>(new Volume(std::move(state)));
}

Volume::Volume(std::unique_ptr<State> state) : state_(std::move(state)) {}

Volume::~Volume() = default;

HookTable Volume::Hooks() {
    HookTable table{};
    table.leading = 0;
    table.volume = state_.get();
#define QUILLANE_FAT_FILL(level, result, name, params, args) table.name = &operations::name;
    QUILLANE_HOOK_OPERATIONS(QUILLANE_FAT_FILL)
#undef QUILLANE_FAT_FILL
    return table;
}

const std::string& Volume::HostDirectory() const { return state_->host_dir; }

size_t Volume::OpenHandleCount() const { return state_->open_handles.load(); }

}  // namespace platform::fat
