// UTF-16 string helpers of the platform: the NUL-terminated string routines
// that the filter and the settings program use on their fixed buffers, and
// the locale-independent upper-case folding of single code units.
#pragma once

#include <string>
#include <string_view>

#include "platform/core/types.h"

namespace platform {

// Number of code units before the terminating NUL.
size_t WideLength(LPCWSTR text);

// Copies `source` with its NUL into `target`, which holds `capacity` units.
// Returns true when it fits; otherwise writes nothing and returns false.
bool WideCopy(LPWSTR target, size_t capacity, LPCWSTR source);

// Appends `source` to the NUL-terminated text in `target` (capacity units in
// all). Returns true when the whole result fits; otherwise leaves `target`
// unchanged and returns false.
bool WideAppend(LPWSTR target, size_t capacity, LPCWSTR source);

// Code-unit order: negative, zero or positive as for strcmp.
int WideCompare(LPCWSTR a, LPCWSTR b);

// The same order after folding both sides with WideToUpper.
int WideCompareNoCase(std::u16string_view a, std::u16string_view b);

// The simple upper-case mapping of one code unit, for every letter of the
// Basic Multilingual Plane that has one (not ASCII only), independent of any
// locale; other units, surrogate halves included, come back unchanged.
WCHAR WideToUpper(WCHAR unit);

// Folds every unit of `text` in place with WideToUpper.
void WideFoldUpper(LPWSTR text);
std::u16string WideFoldUpper(std::u16string_view text);

// First occurrence of `needle` in `haystack` as a plain substring, or null.
// An empty needle is found at the start.
LPCWSTR WideFind(LPCWSTR haystack, LPCWSTR needle);

// Whether `name` matches `pattern`, where "*" stands for any run of units
// and "?" for any one, without regard to case (WideToUpper). Iterative, with
// one backtrack point (the last "*"), so no pattern can recurse deeply.
bool WideMatchesWildcard(std::u16string_view pattern, std::u16string_view name);

}  // namespace platform
