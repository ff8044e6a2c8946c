// The ISO 9660 image of a set of folders, built by libisofs with Joliet and Rock Ridge names.
//
// libisofs and libburn declare the same C structure `burn_source` in two namespaces when both
// headers meet in one C++ file, so this side keeps libburn out: the image comes back as an
// opaque pointer that disc_writer.cpp takes as libburn's `burn_source`.
#pragma once

#include <string>
#include <vector>

#include "carver/disc/disc_writer.h"

namespace ov::disc::detail {

// Starts libisofs once per process (names read from the file system are UTF-8).
bool startIsoLibrary(std::string& error);

// Builds the image of `contents` with the volume label `label` and returns its data stream (a
// `burn_source*` holding one reference, which the caller frees), or null with `error` set. The
// stream starts producing at once on a thread of libisofs; cancel it through the burn_source.
void* buildIsoStream(const std::vector<Graft>& contents, const std::string& label, std::string& error);

// The most severe message libisofs queued since the last call, or empty.
std::string takeIsoMessage();

}  // namespace ov::disc::detail
