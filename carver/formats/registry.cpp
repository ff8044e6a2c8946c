#include "carver/formats/registry.h"

#include <array>

namespace ov::carver {

// Each descriptor lives in its format's file.
extern const FormatRoutine kLengthFieldFormat;
extern const FormatRoutine kQuickTimeFormat;
extern const FormatRoutine kMpegPsFormat;
extern const FormatRoutine kMidiFormat;
extern const FormatRoutine kMp3Format;
extern const FormatRoutine kQuickTimeAltFormat;
extern const FormatRoutine kWaveFormat;
extern const FormatRoutine kPdfFormat;
extern const FormatRoutine kBmpFormat;
extern const FormatRoutine kGifFormat;
extern const FormatRoutine kJpegFormat;
extern const FormatRoutine kPngFormat;
extern const FormatRoutine kTiffFormat;
extern const FormatRoutine kMrwFormat;
extern const FormatRoutine kTiffLeFormat;
extern const FormatRoutine kOle2Format;

namespace {

constexpr std::array<const FormatRoutine*, 16> kRoutines = {
    &kLengthFieldFormat,   // 4
    &kQuickTimeFormat,     // 15
    &kMpegPsFormat,        // 18
    &kMidiFormat,          // 61
    &kMp3Format,           // 62
    &kQuickTimeAltFormat,  // 63
    &kWaveFormat,          // 68
    &kPdfFormat,           // 110
    &kBmpFormat,           // 142
    &kGifFormat,           // 161
    &kJpegFormat,          // 167
    &kPngFormat,           // 185
    &kTiffFormat,          // 203
    &kMrwFormat,           // 207
    &kTiffLeFormat,        // 208
    &kOle2Format,          // 235
};

}  // namespace

const FormatRoutine* findRoutine(int handlerCode) {
  for (const FormatRoutine* r : kRoutines)
    if (r->handlerCode == handlerCode) return r;
  return nullptr;
}

std::span<const FormatRoutine* const> allRoutines() { return kRoutines; }

}  // namespace ov::carver
