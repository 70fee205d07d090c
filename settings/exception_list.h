// The settings side of the `Exception` value: loading the list of exempt file
// types from the filter's registry key, storing it back, and the rule that
// decides what Add may put in the list. Used by the Exception page and by the
// command-line tool's `quillane exceptions` command, so that both edit the
// list by one rule. Not the filter's exempt test, which reads the same value
// by itself; no Qt here.
//
// The value holds, for every item in list order, "." followed by the item,
// then a NUL and zero filler up to exactly 4096 bytes. An item is kept whole
// on both sides: storing refuses a list whose text would not fit the value,
// and Add refuses an item that would make it so, so what the page lists is
// exactly what the filter reads.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"

namespace quillane {

// Under HKEY_LOCAL_MACHINE; made when the filter is installed, never here.
inline constexpr WCHAR kFilterKeyPath[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";
inline constexpr WCHAR kExceptionValueName[] = u"Exception";
// The value's data is always this many bytes.
inline constexpr DWORD kExceptionDataBytes = 4096;
// The longest text that fits the value with its NUL.
inline constexpr size_t kExceptionTextLimit = kExceptionDataBytes / sizeof(WCHAR) - 1;

// The stored text of `items`: ".item" for each, run together.
std::u16string JoinExceptionItems(std::span<const std::u16string> items);

// The items of a stored text, exactly as the filter's exempt test applies
// them: what comes before the first "." is no item (the filter matches only
// a type with a "." on each side), every "." after it ends one item, the end
// of the text the last; "..mp3" gives "" and "mp3", "mp3.zz" gives "zz", a
// text without a "." nothing.
std::vector<std::u16string> SplitExceptionText(std::u16string_view text);

// Loading the list: fills `items` with the items the filter applies, in
// stored order, read as the filter reads the value: its first 4096 bytes up
// to the first NUL, of whatever registry type it is; an odd last byte is the
// low half of one more character. A value the filter cannot read at all (a
// damaged entry, or one longer than 4096 bytes) is an empty list to it, and
// so here. Returns ERROR_SUCCESS, also for such a value; ERROR_FILE_NOT_FOUND
// for a missing key or value, `items` empty. When given, `problem` says why
// a stored value is not what the filter can use as stored (empty when it
// is), for a warning to the user, and `unusable` whether the filter cannot
// read it at all.
DWORD LoadExceptionList(std::vector<std::u16string>& items, std::string* problem = nullptr,
                        bool* unusable = nullptr);

// The warning a program shows at start when the stored value is one the
// filter cannot read at all, and so exempts no type; empty otherwise.
std::string ExceptionListWarning();

// Storing the list: replaces the value by the text of `items` as REG_SZ of
// 4096 bytes. Returns ERROR_SUCCESS; the registry's error when the key is
// missing or the write fails (nothing is stored); ERROR_INVALID_PARAMETER,
// storing nothing, when the text is longer than the 2048 characters the
// value can hold at all.
DWORD StoreExceptionList(std::span<const std::u16string> items);

enum class AddVerdict {
    Accepted,
    Empty,          // nothing left once the leading dots are dropped
    AlreadyListed,  // equal, with regard to case, to a listed item
    TooLong,        // the stored text would exceed kExceptionTextLimit
};

// The Add rule for the text the user typed, against the items `listed`:
// `item` receives the text with its leading dots dropped (a dot further in,
// spaces and case stay as typed); the verdict says whether it may be added.
AddVerdict CheckNewItem(std::u16string_view typed, std::span<const std::u16string> listed, std::u16string& item);

}  // namespace quillane
