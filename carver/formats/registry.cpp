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
extern const FormatRoutine kRiffFormat;
extern const FormatRoutine kWebpFormat;
extern const FormatRoutine kJpegScansFormat;
extern const FormatRoutine kZipFormat;
extern const FormatRoutine kIsoMediaFormat;
extern const FormatRoutine kMatroskaFormat;
extern const FormatRoutine kFlacFormat;
extern const FormatRoutine kOggFormat;
extern const FormatRoutine kSqliteFormat;
extern const FormatRoutine kSevenZipFormat;
extern const FormatRoutine kRarFormat;
extern const FormatRoutine kTiffRawFormat;

namespace {

constexpr std::array<const FormatRoutine*, 28> kRoutines = {
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
    &kRiffFormat,          // 236
    &kWebpFormat,          // 237
    &kJpegScansFormat,     // 238
    &kZipFormat,           // 239
    &kIsoMediaFormat,      // 240
    &kMatroskaFormat,      // 241
    &kFlacFormat,          // 242
    &kOggFormat,           // 243
    &kSqliteFormat,        // 244
    &kSevenZipFormat,      // 245
    &kRarFormat,           // 246
    &kTiffRawFormat,       // 247
};

}  // namespace

const FormatRoutine* findRoutine(int handlerCode) {
  for (const FormatRoutine* r : kRoutines)
    if (r->handlerCode == handlerCode) return r;
  return nullptr;
}

std::span<const FormatRoutine* const> allRoutines() { return kRoutines; }

}  // namespace ov::carver
