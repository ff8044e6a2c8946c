// Handler 241: Matroska and WebM. The EBML header (its DocType tells "webm" from "matroska") is
// followed by the Segment, whose size in EBML's variable-length form gives the file's end. A
// Segment of unknown size (written live) is walked through its top-level elements instead.
#include <optional>

#include "carver/formats/common.h"

namespace ov::carver {
namespace {

constexpr std::uint32_t kEbml = 0x1A45DFA3, kDocType = 0x4282, kSegment = 0x18538067;
constexpr std::uint32_t kLevelOne[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B,
                                       0x1941A469, 0x1043A770, 0x1254C367, 0xEC,       0xBF};
constexpr std::uint64_t kMaxHeader = 4096;
constexpr std::uint32_t kMaxElements = 1u << 22;
constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

struct Element {
  std::uint32_t id = 0;
  std::uint64_t size = 0;  // kUnknown when all its bits are set
  std::uint64_t data = 0;  // offset of its data
};

// An EBML variable-length number at `at`: its length and value (with or without the marker bit).
std::optional<std::pair<unsigned, std::uint64_t>> vint(DiskBytes& d, std::uint64_t at, unsigned maxLength, bool keepMarker) {
  const std::uint8_t first = d.u8(at);
  unsigned length = 1;
  while (length <= 8 && (first & (0x80u >> (length - 1))) == 0) ++length;
  if (length > maxLength) return std::nullopt;
  std::uint64_t value = keepMarker ? first : first & ((0x80u >> (length - 1)) - 1);
  bool allOnes = value == ((0x80u >> (length - 1)) - 1);
  for (unsigned i = 1; i < length; ++i) {
    const std::uint8_t b = d.u8(at + i);
    allOnes = allOnes && b == 0xFF;
    value = (value << 8) | b;
  }
  if (!keepMarker && allOnes) value = kUnknown;
  return std::make_pair(length, value);
}

std::optional<Element> element(DiskBytes& d, std::uint64_t at) {
  const auto id = vint(d, at, 4, true);
  if (!id) return std::nullopt;
  const auto size = vint(d, at + id->first, 8, false);
  if (!size) return std::nullopt;
  return Element{static_cast<std::uint32_t>(id->second), size->second, at + id->first + size->first};
}

bool levelOne(std::uint32_t id) {
  for (std::uint32_t known : kLevelOne)
    if (known == id) return true;
  return false;
}

CarveResult findMatroskaEnd(const CarveContext& ctx) {
  DiskBytes d(ctx, 8);
  const auto header = element(d, 0);
  if (d.available() == 0 || !header || header->id != kEbml || header->size == kUnknown || header->size > kMaxHeader)
    return rejected(d);
  // The header's children: DocType names the kind.
  const std::uint64_t headerEnd = header->data + header->size;
  std::string docType;
  for (std::uint64_t at = header->data; at < headerEnd;) {
    const auto child = element(d, at);
    if (!child || child->size == kUnknown || child->size > headerEnd - child->data) return rejected(d);
    if (child->id == kDocType)
      for (std::uint64_t i = 0; i < child->size && i < 16; ++i) docType.push_back(static_cast<char>(d.u8(child->data + i)));
    at = child->data + child->size;
  }
  while (!docType.empty() && docType.back() == '\0') docType.pop_back();
  if (docType != "matroska" && docType != "webm") return rejected(d);

  const auto segment = element(d, headerEnd);
  if (!segment || segment->id != kSegment) return rejected(d);
  std::uint64_t end = segment->data;
  if (segment->size != kUnknown) {
    end = segment->size > d.limit() - std::min(end, d.limit()) ? d.limit() : end + segment->size;
  } else {
    for (std::uint32_t n = 0; n < kMaxElements && end < d.limit() && ctx.running(); ++n) {
      const auto child = element(d, end);
      if (!child || !levelOne(child->id) || child->size == kUnknown) break;
      end = child->size > d.limit() - std::min(child->data, d.limit()) ? d.limit() : child->data + child->size;
    }
  }
  CarveResult r = endFromField(d, end);
  if (r.accepted()) r.extension = docType == "webm" ? "webm" : "mkv";
  return settle(d, r);
}

}  // namespace

extern const FormatRoutine kMatroskaFormat{241, "matroska", &findMatroskaEnd};

}  // namespace ov::carver
