// LZNT1, the compression NTFS applies to each compression unit of a compressed file: the test
// that tells whether a unit's gathered clusters hold chunks, and the decoder of those chunks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/byte_io.h"

namespace ov::ntfs {

// True when the chunk headers walked from offset 0 stop (size field 0 or 3) inside the unit or
// end exactly at its end; false when a chunk, or its header, runs past the unit.
bool isCompressedUnit(Bytes unit);

// Decodes the chunks of one compression unit into `out`, which is zeroed first and whose size is
// the capacity. Never reads past `in` nor writes past `out`; returns the bytes produced.
std::size_t decompressUnit(Bytes in, MutableBytes out);

}  // namespace ov::ntfs
