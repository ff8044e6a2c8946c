#include "ntfs/run_list.h"

namespace ov::ntfs {

void decodeRunList(Bytes runs, std::vector<Run>& list) {
  std::uint64_t cluster = 0;
  std::size_t at = 0;
  while (at < runs.size()) {
    std::uint8_t header = runs[at];
    if (header == 0) return;
    std::size_t lengthSize = header & 0x0F;
    std::size_t offsetSize = header >> 4;
    if (lengthSize > 4 || offsetSize > 4) return;
    if (!fits(runs, at + 1, lengthSize + offsetSize)) return;
    const std::uint8_t* field = runs.data() + at + 1;

    bool lengthAllOnes = lengthSize > 0, offsetAllOnes = offsetSize > 0;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < lengthSize; ++i) {
      length |= std::uint64_t{field[i]} << (8 * i);
      lengthAllOnes = lengthAllOnes && field[i] == 0xFF;
    }
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < offsetSize; ++i) {
      offset |= std::uint64_t{field[lengthSize + i]} << (8 * i);
      offsetAllOnes = offsetAllOnes && field[lengthSize + i] == 0xFF;
    }
    if (lengthAllOnes || offsetAllOnes) return;

    if (offsetSize > 0) {
      if (field[lengthSize + offsetSize - 1] & 0x80) offset |= ~std::uint64_t{0} << (8 * offsetSize);
      cluster += offset;  // a negative offset moves backwards (wraps in unsigned arithmetic)
      list.push_back(Run{cluster, length, false});
    } else {
      list.push_back(Run{0, length, true});
    }
    at += 1 + lengthSize + offsetSize;
  }
}

void decodeAttributeRuns(Bytes record, std::size_t attributeOffset, std::vector<Run>& list) {
  std::size_t length = le32(record, attributeOffset + 4);
  std::size_t runsOffset = le16(record, attributeOffset + 0x20);
  if (!fits(record, attributeOffset, length) || runsOffset >= length) return;
  decodeRunList(record.subspan(attributeOffset + runsOffset, length - runsOffset), list);
}

}  // namespace ov::ntfs
