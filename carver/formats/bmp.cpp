// Handler 142: a BMP file states its own size at offset 2.
#include "carver/formats/common.h"

namespace ov::carver {
namespace {

CarveResult findBmpEnd(const CarveContext& ctx) { return sizeFromLe32Field(ctx, 2, 0); }

}  // namespace

extern const FormatRoutine kBmpFormat{142, "bmp", &findBmpEnd};

}  // namespace ov::carver
