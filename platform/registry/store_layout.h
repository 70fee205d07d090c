// Where the registry store lies and how its keys and values map to host
// names. Used by the registry's sources only.
//
//   <store>/HKEY_LOCAL_MACHINE/           a root key
//       K<folded name>/                   a subkey
//           N                             the subkey's name as created
//           V<folded name>                a value ("V" alone: the default value)
//           .tmp-*, .new-*, .del-*        work in progress or left by a crash;
//                                         never read as keys or values
//
// A host name is derived from the folded (upper-case) name, so every process
// that looks up or creates a key of any spelling meets the same directory, and
// a case-insensitive host file system cannot merge two names. The name as the
// caller spelled it lives in the entry file (N for a key).
#pragma once

#include <string>
#include <string_view>

#include "platform/core/types.h"

namespace platform::registry_store {

// The longest key name and value name the store accepts, in UTF-16 units.
constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;

// The store's host directory of a predefined root key ("" for any other).
std::string RootDirectory(HKEY root);

// The host name of a subkey's directory and of a value's file within their
// key's directory.
std::string SubkeyHostName(std::u16string_view key_name);
std::string ValueHostName(std::u16string_view value_name);

// Name of the file in a subkey's directory that holds the subkey's name.
inline constexpr const char* kKeyNameFile = "N";

}  // namespace platform::registry_store
