// The owner and mask options of a mount (see mount_options.h).
#include "mount/mount_options.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace quillane::mount {
namespace {

// Digits only: no sign, no spaces, no "0x"; a leading 0 is an octal mask's
// usual spelling and changes nothing.
bool ParseNumber(std::string_view text, int base, std::uint64_t& value) {
    if (text.empty()) return false;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    return error == std::errc() && stop == end;
}

// An id as uid= and gid= take it. (uid_t)-1 names no one: chown(2) reads it
// as "leave as it is".
bool ParseId(std::string_view text, std::uint32_t& id) {
    std::uint64_t value = 0;
    if (!ParseNumber(text, 10, value) || value >= std::numeric_limits<std::uint32_t>::max()) return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseMask(std::string_view text, mode_t& mask) {
    std::uint64_t value = 0;
    if (!ParseNumber(text, 8, value) || value > 0777) return false;
    mask = static_cast<mode_t>(value);
    return true;
}

enum : int { kOwnerOptionKey = 1 };

const fuse_opt kOwnerOptionTemplates[] = {
    FUSE_OPT_KEY("uid=", kOwnerOptionKey),   FUSE_OPT_KEY("gid=", kOwnerOptionKey),
    FUSE_OPT_KEY("umask=", kOwnerOptionKey), FUSE_OPT_KEY("fmask=", kOwnerOptionKey),
    FUSE_OPT_KEY("dmask=", kOwnerOptionKey), FUSE_OPT_END,
};

int TakeOne(void* data, const char* argument, int key, fuse_args* /*out*/) {
    if (key != kOwnerOptionKey) return 1;  // kept for FUSE
    std::string why;
    if (TakeOwnerOption(argument, *static_cast<OwnerOptions*>(data), why) == OwnerOptionResult::kBad) {
        std::fprintf(stderr, "quillane mount: %s\n", why.c_str());
        return -1;
    }
    return 0;  // consumed
}

}  // namespace

OwnerOptions DefaultOwnerOptions(uid_t owner, gid_t group) {
    OwnerOptions options;
    options.owner = owner;
    options.group = group;
    return options;
}

OwnerOptionResult TakeOwnerOption(std::string_view option, OwnerOptions& options, std::string& why) {
    const size_t equals = option.find('=');
    if (equals == std::string_view::npos) return OwnerOptionResult::kNotOwnerOption;
    const std::string_view name = option.substr(0, equals);
    const std::string_view value = option.substr(equals + 1);
    const bool id = name == "uid" || name == "gid";
    const bool mask = name == "umask" || name == "fmask" || name == "dmask";
    if (!id && !mask) return OwnerOptionResult::kNotOwnerOption;

    if (id) {
        std::uint32_t number = 0;
        if (!ParseId(value, number)) {
            why = "the option " + std::string(option) + " needs a numeric " + (name == "uid" ? "user" : "group") +
                  " id";
            return OwnerOptionResult::kBad;
        }
        (name == "uid" ? options.owner : options.group) = number;
        return OwnerOptionResult::kTaken;
    }
    mode_t bits = 0;
    if (!ParseMask(value, bits)) {
        why = "the option " + std::string(option) + " needs an octal mask from 0 to 0777";
        return OwnerOptionResult::kBad;
    }
    if (name != "dmask") options.file_mask = bits;
    if (name != "fmask") options.folder_mask = bits;
    return OwnerOptionResult::kTaken;
}

bool TakeOwnerOptions(fuse_args& args, OwnerOptions& options) {
    return fuse_opt_parse(&args, &options, kOwnerOptionTemplates, TakeOne) == 0;
}

}  // namespace quillane::mount
