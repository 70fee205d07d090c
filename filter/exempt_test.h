// The exempt test: whether a file, by its opened name, is of a type the user
// exempted from compression. Reads the `Exception` value under the filter's
// key afresh on every call and keeps nothing; the close asks it once per close.
#pragma once

#include "platform/core/types.h"

namespace quillane_filter {

// The filter's own registry key under HKEY_LOCAL_MACHINE.
inline constexpr WCHAR kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";
inline constexpr WCHAR kExceptionValue[] = u"Exception";
// The value's data as stored: always 4096 bytes.
inline constexpr DWORD kExceptionBytes = 4096;

// 1 when the type of `opened_name` (from its last "." to its end) is an item
// of the exempt list, without regard to case; 0 otherwise. A name with no
// "." has no type and is not exempt; neither is one whose type token would
// not fit its 256-unit buffer.
BOOL IsExempt(LPCWSTR opened_name);

// The match itself, on the value's data as read: `stored` holds the first
// 4096 bytes of the value (zeros where the value ended), and is used as the
// exempt list's buffer, so it must hold kExemptListCapacity units.
inline constexpr size_t kExemptListCapacity = 4096;
BOOL IsExemptByList(WCHAR (&stored)[kExemptListCapacity], LPCWSTR opened_name);

}  // namespace quillane_filter
