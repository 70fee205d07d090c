// The table of open registry keys (see key_handles.h).
#include "platform/registry/key_handles.h"

#include <mutex>
#include <unordered_map>

#include "platform/registry/store_layout.h"

namespace platform::registry_store {
namespace {

struct KeyTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, OpenKey> keys;
    // Far from the predefined roots and from small numbers that stray
    // integers tend to be.
    std::uintptr_t next = 0x10000;
};

KeyTable& Table() {
    static KeyTable table;
    return table;
}

bool IsPredefined(HKEY key) { return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER; }

}  // namespace

HKEY RegisterKey(OpenKey key) {
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    std::uintptr_t id;
    do {
        id = table.next++;
    } while (IsPredefined(reinterpret_cast<HKEY>(id)) || reinterpret_cast<HANDLE>(id) == INVALID_HANDLE_VALUE ||
             id == 0);
    table.keys.emplace(id, std::move(key));
    return reinterpret_cast<HKEY>(id);
}

std::optional<OpenKey> LookupKey(HKEY key) {
    if (IsPredefined(key)) return OpenKey{RootDirectory(key), true};
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto it = table.keys.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == table.keys.end()) return std::nullopt;
    return it->second;
}

bool ForgetKey(HKEY key) {
    if (IsPredefined(key)) return true;
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.keys.erase(reinterpret_cast<std::uintptr_t>(key)) == 1;
}

}  // namespace platform::registry_store
