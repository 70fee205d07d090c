// The codec over whole files held in memory, for the tools, tests and
// benchmarks that have one at hand. The filter never holds a whole file and
// does not use these.
#pragma once

#include <string>
#include <string_view>

#include "filter/codec/codec.h"

// Encodes `plain` into `compressed` (replacing what it held, keeping its
// capacity, so a caller may reserve room first): the signature and the
// blocks. Returns how the encoder ended.
CodecResult CodecEncodeBuffer(std::string_view plain, std::string& compressed);

// Decodes a compressed file held whole, signature first, into `plain`
// (replacing what it held, keeping its capacity). A buffer without the signature is kCodecDamaged
// and leaves `plain` empty; otherwise what the decoder made of it stays.
CodecResult CodecDecodeBuffer(std::string_view compressed, std::string& plain);
