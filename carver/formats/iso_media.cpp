// Handler 240: files of the ISO base media format (HEIC and HEIF pictures, 3GP video, M4A audio).
// The file is a chain of top-level boxes, each a big-endian 32-bit size (1: a 64-bit size follows
// the type) and a four-character type; the first is "ftyp". The chain is followed while the types
// are those a top-level box may have; a file holds a "moov" (movies and sound) or a "meta"
// (pictures) box.
#include <string_view>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint8_t kFileType[] = {'f', 't', 'y', 'p'};
constexpr std::uint8_t kMovie[] = {'m', 'o', 'o', 'v'};
constexpr std::uint8_t kMeta[] = {'m', 'e', 't', 'a'};
constexpr std::string_view kTopLevel[] = {"ftyp", "moov", "mdat", "meta", "free", "skip", "wide", "uuid", "moof",
                                          "mfra", "pdin", "styp", "sidx", "ssix", "prft", "emsg", "meco"};
constexpr std::uint64_t kMaxFileTypeBox = 4096;
constexpr std::uint32_t kMaxBoxes = 1u << 20;

bool topLevel(DiskBytes& d, std::uint64_t at) {
  char type[4];
  for (std::uint64_t i = 0; i < 4; ++i) type[i] = static_cast<char>(d.u8(at + i));
  for (std::string_view t : kTopLevel)
    if (t == std::string_view(type, 4)) return true;
  return false;
}

CarveResult findIsoMediaEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  const std::uint32_t first = d.be32(0);
  if (d.available() == 0 || !d.matches(4, kFileType) || first < 16 || first > kMaxFileTypeBox || first % 4 != 0)
    return rejected(d);
  std::uint64_t end = 0;
  bool content = false;
  for (std::uint32_t n = 0; n < kMaxBoxes && end < d.limit() && ctx.running(); ++n) {
    std::uint64_t size = d.be32(end);
    if (!topLevel(d, end + 4)) break;
    if (size == 1) size = d.be64(end + 8);
    if (size < 8) break;  // 0: the box runs to the end of the file, which nothing here tells
    content = content || d.matches(end + 4, kMovie) || d.matches(end + 4, kMeta);
    // A box that runs past the disk's end is cut there.
    end = size > d.limit() - end ? d.limit() : end + size;
  }
  if (!content) return rejected(d);
  return endFromField(d, end);
}

}  // namespace

extern const FormatRoutine kIsoMediaFormat{240, "iso-media", &findIsoMediaEnd};

}  // namespace ov::carver
