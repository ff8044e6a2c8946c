#include <gtest/gtest.h>

#include "workbench/models/sector_range.h"
#include "workbench/models/volume_search_dialog.h"

namespace ov {
namespace {

TEST(SearchDialogModel, HugePositionsDoNotOverflowThePercentage) {
  VolumeSearchDialogModel m(searchDialogWords("NTFS", true));
  m.onProgress(UINT64_MAX / 2, UINT64_MAX);
  EXPECT_EQ(m.percent(), 50u);
}

TEST(SectorRange, Checks) {
  EXPECT_EQ(checkSectorRange(100, 50, 1000), "End sector should be greater than start sector");
  EXPECT_EQ(checkSectorRange(1000, 1001, 1000), "Start sector should be less than total sectors");
  EXPECT_EQ(checkSectorRange(0, 1001, 1000), "End sector should be less than total sectors");
  EXPECT_FALSE(checkSectorRange(0, 1000, 1000));
  EXPECT_EQ(rangeSizeText(1000), "1000 bytes");
  EXPECT_EQ(rangeSizeText(5ull << 30), "5.00 GB");
}

}  // namespace
}  // namespace ov
