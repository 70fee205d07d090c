// Where the registry store lies and how names map to host names (see
// store_layout.h).
#include "platform/registry/store_layout.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"

namespace platform {
namespace {

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// A folder named by the environment that exists and belongs to another
// user is not the caller's: under `sudo -E` (or su without a login) HOME and
// XDG_CONFIG_HOME still name the invoking user's folders, and root must not
// read or write that user's store. A folder that does not exist yet is
// taken: the caller makes it.
bool OthersFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && status.st_uid != ::geteuid();
}

std::string HomeDirectory() {
    std::string home = EnvironmentValue("HOME");
    if (!home.empty() && !OthersFolder(home)) return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return ".";
}

}  // namespace

// Read afresh on every call: tests and tools point the store elsewhere by
// changing the environment, and nothing about the store is cached.
std::string RegistryStorePath() {
    std::string explicit_place = EnvironmentValue("QUILLANE_REGISTRY");
    if (!explicit_place.empty()) return explicit_place;
    // A relative XDG_CONFIG_HOME is invalid and is ignored, as the convention
    // that defines it asks.
    std::string config = EnvironmentValue("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/' || OthersFolder(config)) config = HomeDirectory() + "/.config";
    return config + "/quillane/registry";
}

bool RegistryStoreIsCallers(std::string& why) {
    const std::string store = RegistryStorePath();
    struct stat status {};
    if (::stat(store.c_str(), &status) != 0 || status.st_uid == ::geteuid()) return true;
    why = "the registry store " + store + " belongs to user " + std::to_string(status.st_uid) +
          ", not to this user (" + std::to_string(::geteuid()) + ")";
    return false;
}

namespace registry_store {
namespace {

// Beyond this a host name risks the host's limit on one name (255 bytes).
constexpr size_t kMaxPlainHostName = 200;
constexpr size_t kKeptPrefixOfLongName = 160;

bool KeptAsIs(char16_t unit) {
    return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') || unit == u'_' || unit == u'-' ||
           unit == u'.' || unit == u' ';
}

std::uint64_t Fnv1a64(std::u16string_view units) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char16_t unit : units) {
        for (const BYTE b : {static_cast<BYTE>(unit & 0xFF), static_cast<BYTE>(unit >> 8)}) {
            hash ^= b;
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}

void AppendHex(std::string& out, std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
}

// Folds, then writes every unit outside a small safe set as "%" and four hex
// digits: any UTF-16 name, unpaired surrogates and "/" included, becomes a
// safe host name, and distinct folded names stay distinct. A name too long
// for the host keeps a readable start and ends in "~" and a 64-bit hash of
// the folded name ("~" never occurs in the short form).
std::string HostName(char kind, std::u16string_view name) {
    const std::u16string folded = WideFoldUpper(name);
    std::string out(1, kind);
    for (const char16_t unit : folded) {
        if (KeptAsIs(unit)) {
            out.push_back(static_cast<char>(unit));
        } else {
            out.push_back('%');
            AppendHex(out, unit, 4);
        }
    }
    if (out.size() > kMaxPlainHostName) {
        out.resize(kKeptPrefixOfLongName);
        out.push_back('~');
        AppendHex(out, Fnv1a64(folded), 16);
    }
    return out;
}

}  // namespace

std::string RootDirectory(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) return RegistryStorePath() + "/HKEY_LOCAL_MACHINE";
    if (root == HKEY_CURRENT_USER) return RegistryStorePath() + "/HKEY_CURRENT_USER";
    return {};
}

std::string SubkeyHostName(std::u16string_view key_name) { return HostName('K', key_name); }
std::string ValueHostName(std::u16string_view value_name) { return HostName('V', value_name); }

}  // namespace registry_store
}  // namespace platform
