// The table of open registry keys of this process. An HKEY other than a
// predefined root is a number handed out here, never an address, so a closed,
// stale or made-up handle is recognised and refused instead of followed. Used
// by the registry's sources only; holds where a key lies, never its content.
#pragma once

#include <optional>
#include <string>

#include "platform/core/types.h"

namespace platform::registry_store {

struct OpenKey {
    std::string directory;  // the key's host directory
    bool is_root = false;   // root directories are made on first write
};

// Handles are never reused, so one closed stays invalid.
HKEY RegisterKey(OpenKey key);

// The key behind `key`: a predefined root (placed in the store as the
// environment names it now) or an open handle; nothing for anything else.
std::optional<OpenKey> LookupKey(HKEY key);

// Forgets an open handle. Predefined roots are always open and stay so.
// False for a handle that is not open.
bool ForgetKey(HKEY key);

}  // namespace platform::registry_store
