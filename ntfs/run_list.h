// NTFS run lists: the cluster runs of a non-resident attribute.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/byte_io.h"

namespace ov::ntfs {

struct Run {
  std::uint64_t lcn = 0;       // absolute cluster in the volume; 0 for a sparse run
  std::uint64_t clusters = 0;  // length, kept for sparse runs too so that holes can be filled
  bool sparse = false;

  bool operator==(const Run&) const = default;
};

// Decodes the runs that start at `runs` (the bytes from the run-list offset to the end of the
// attribute) and appends them to `list`. Cluster numbers accumulate from 0 for each call. Runs
// with length or offset fields wider than 4 bytes, or fields of all 0xFF, end the list.
void decodeRunList(Bytes runs, std::vector<Run>& list);

// The runs of a non-resident attribute at `attributeOffset` in a record, bounded by the attribute.
void decodeAttributeRuns(Bytes record, std::size_t attributeOffset, std::vector<Run>& list);

}  // namespace ov::ntfs
