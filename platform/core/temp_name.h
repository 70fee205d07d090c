// Temporary file names, formed the platform's way.
#pragma once

#include "platform/core/types.h"

namespace platform {

// Forms `directory`, a backslash unless `directory` already ends in one, up to
// three characters of `prefix`, the low 16 bits of `unique` as four upper-case
// hexadecimal digits and ".TMP" into `out` (MAX_PATH units with the NUL):
// GetTempFileNameW(u"\\", u"v", 0x12345, out) gives "\v2345.TMP".
//
// With a non-zero `unique` it only forms the name: it neither creates the
// file nor checks that the name is free, and returns `unique`. A zero
// `unique` is not supported here (nothing in the system uses it): it returns
// 0 with ERROR_INVALID_PARAMETER. A name that would not fit MAX_PATH returns
// 0 with ERROR_FILENAME_EXCED_RANGE and leaves `out` unchanged; null
// arguments return 0 with ERROR_INVALID_PARAMETER.
UINT GetTempFileNameW(LPCWSTR directory, LPCWSTR prefix, UINT unique, LPWSTR out);

}  // namespace platform
