// Any bytes as a disk for one end-finding routine, picked by the first byte (its top bit: 4,096-byte
// sectors); the routine must stay on the disk, within its size cap, and end.
#include "fuzz/fuzz_host.h"

#include "carver/formats/memory_source.h"
#include "carver/formats/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto routines = ov::carver::allRoutines();
  const ov::carver::FormatRoutine* routine = routines[(data[0] & 0x7Fu) % routines.size()];
  const std::uint16_t bps = (data[0] & 0x80u) != 0 ? 4096 : 512;
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  // A partial last sector is padded, so short inputs still make a disk of one sector.
  bytes.resize((bytes.size() + bps - 1) / bps * bps, 0);
  const std::uint64_t available = bytes.size();
  ov::carver::MemorySource disk(std::move(bytes), bps);
  ov::carver::CarveState state;
  ov::carver::CarveContext ctx{disk, 0};
  ctx.state = &state;
  const ov::carver::CarveResult r = routine->findEnd(ctx);
  if (disk.badRequests() != 0) __builtin_trap();
  if (r.size > available || r.skipBytes > available || r.size > ov::carver::kMaxCarvedSize) __builtin_trap();
  if (r.endFound && r.skipBytes == 0) __builtin_trap();
  if (!r.accepted() && (r.size != 0 || r.endFound)) __builtin_trap();
  // A second call at the same start: the start lists may refuse it, but it must not crash either.
  (void)routine->findEnd(ctx);
  return 0;
}
