// Names between the kernel and the card, for the FUSE front end: the UTF-8
// name of one directory entry becomes the UTF-16 name the platform's file
// API takes, and each name gets the key under which the mount knows it
// without regard to case, as the card does. Not a check of everything a card
// refuses: the FAT layer judges the rest and says so in its error codes.
#pragma once

#include <string>
#include <string_view>

namespace quillane::mount {

// Converts one name component from the kernel. Returns 0 with `name` set;
// EILSEQ for UTF-8 that is not well formed; EINVAL for a name a card path
// cannot carry: empty, "." or "..", one holding the separator "\" (which
// would split it in two) or a wildcard "*" or "?" (which a search would take
// for a pattern); ENAMETOOLONG for one of more than 255 UTF-16 units.
int CardName(std::string_view utf8, std::u16string& name);

// The key of a name among its siblings: folded to upper case as the card
// folds it, trailing dots and spaces dropped as FAT drops them, so "Notes.",
// "NOTES" and "notes" are one file.
std::u16string NameKey(std::u16string_view name);

// Whether a name at the card root is one the filter gives its working
// files: "v" (the plain data of an open compressed file) or "y" (the
// compressed data a close puts in place), four hexadecimal digits, ".TMP",
// in any case. "v12.TMP" or "vXYZW.TMP" is an ordinary name.
bool IsFilterWorkingName(std::u16string_view name);

// The name as the kernel gets it; a name the card holds is always valid
// UTF-16, so nothing is lost.
std::string KernelName(std::u16string_view name);

}  // namespace quillane::mount
