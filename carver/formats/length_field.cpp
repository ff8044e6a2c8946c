// Handler 4: a little-endian length at offset 4 counts the bytes after a 2,048-byte header.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

CarveResult findLengthFieldEnd(const CarveContext& ctx) { return sizeFromLe32Field(ctx, 4, 2048); }

}  // namespace

extern const FormatRoutine kLengthFieldFormat{4, "length field", &findLengthFieldEnd};

}  // namespace ov::carver
