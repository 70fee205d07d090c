// Who owns what a mount shows, and which permission bits it masks: the
// options `-o uid=N,gid=N,umask=OOO,fmask=OOO,dmask=OOO` with the meaning
// they have on a vfat mount. A FAT card stores no owners and no modes, so
// every file and folder shows the one owner and group, and the mode bits
// that the masks leave (file_modes.h). The mount command takes these options
// out of the command line before libfuse reads the rest; FUSE's own options
// (allow_other, ro, ...) are not read here.
#pragma once

#include <fuse_opt.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillane::mount {

struct OwnerOptions {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t file_mask = 022;    // fmask
    mode_t folder_mask = 022;  // dmask
};

// The defaults: the mounting user's ids and a umask of 022, whatever the
// mounting process's own umask is.
OwnerOptions DefaultOwnerOptions(uid_t owner, gid_t group);

enum class OwnerOptionResult {
    kNotOwnerOption,  // left alone for FUSE
    kTaken,           // `options` changed
    kBad,             // an owner option with a value it cannot have; `why` says so
};

// Reads one mount option. uid= and gid= take a decimal id (not -1, which
// names nobody); umask= (both masks), fmask= (files) and dmask= (folders)
// take an octal mask of at most 0777. Later options override earlier ones,
// so `umask=077,fmask=0133` masks folders with 077 and files with 0133.
// On kBad, `options` is unchanged.
OwnerOptionResult TakeOwnerOption(std::string_view option, OwnerOptions& options, std::string& why);

// Takes every owner option out of `args` (in -o lists, as "-o uid=5" or
// "-ouid=5,ro") into `options`, leaving everything else in `args` as it
// was. Returns false, with the reason on stderr, when one is bad.
bool TakeOwnerOptions(fuse_args& args, OwnerOptions& options);

}  // namespace quillane::mount
