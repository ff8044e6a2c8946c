// The one table of end-finding routines, by the catalogue's handler code.
#pragma once

#include <span>

#include "carver/formats/format.h"

namespace ov::carver {

// The routine for a handler code, or null for codes without one (0 and unknown codes: the
// scanner adds the item by its size rule or through the alternatives).
const FormatRoutine* findRoutine(int handlerCode);

// Every registered routine, in ascending handler-code order (15 and 63 share one routine but have
// a descriptor each).
std::span<const FormatRoutine* const> allRoutines();

}  // namespace ov::carver
