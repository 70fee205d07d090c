// Which block encoder a close compresses with: the `Encoder` REG_SZ value
// under the filter's key, read afresh at every close as the exempt list is,
// so a change counts from the next close, mounted or not. Used by the close
// and by the quillane command that sets the value.
#pragma once

#include "filter/codec/codec.h"
#include "platform/core/types.h"

namespace quillane_filter {

inline constexpr WCHAR kEncoderValue[] = u"Encoder";
// The value's texts, matched without regard to case.
inline constexpr WCHAR kEncoderZlib[] = u"zlib";
inline constexpr WCHAR kEncoderLibdeflate[] = u"libdeflate";

// kCodecEncoderLibdeflate when the value reads "libdeflate"; zlib (as
// always before the value existed) when it is missing, "zlib", of another
// text or unreadable.
CodecEncoder ChosenEncoder();

// The same choice from the value's text as stored.
CodecEncoder EncoderNamed(const WCHAR* text);

}  // namespace quillane_filter
