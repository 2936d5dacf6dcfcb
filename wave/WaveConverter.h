// Compressed WAVE data to PCM through the audio compression manager: the
// reader's way into MPEG Layer-3 WAVE files.
#pragma once

#include <cstdint>

#include "platform/Streams.h"
#include "wave/MSAcm.h"

// A memory stream that holds first the sample data of a compressed WAVE file
// and, after Convert, the PCM it decodes to (exactly what the conversion
// produced: no padding).
//
// Use: LoadWave, set TargetFormat()->FormatTag to 1 and let acmFormatSuggest
// fill in the rest from SourceFormat(), Convert, SaveWave.
class TWaveConverter : public TMemoryStream {
 public:
  // Room of each format block: the 18-byte structure and its extra bytes.
  static constexpr int FormatBlockSize = 129;
  // Compressed bytes handed to the conversion at a time.
  static constexpr uint32_t PieceBytes = 1024;

  TWaveConverter();

  // Reads the WAVE file in Source from its current position: the "fmt " body
  // (up to FormatBlockSize bytes; a shorter body leaves the rest 0) into the
  // source format, the body of the first "data" chunk (what the file holds of
  // it) as the contents. Chunks are found as the WAV reader finds them. False,
  // with nothing loaded, when Source holds no such file. Raises what Source
  // raises.
  bool LoadWave(TStream& Source);

  TWaveFormatEx* SourceFormat() { return &FSource.Format; }
  TWaveFormatEx* TargetFormat() { return &FTarget.Format; }
  // The largest format size the installed drivers use (at most
  // FormatBlockSize).
  uint32_t MaxFormatSize() const { return FMaxFormatSize; }

  // Converts the contents from the source format to the target format, which
  // then becomes the source format. 0 on success, else the first failing
  // result code (the contents are then undefined). PCM that a 32-bit WAVE
  // size could not state fails with kAcmNotPossible.
  uint32_t Convert();

  // Writes a PCM WAVE file with the contents (a 16-byte "fmt " chunk from the
  // source format, then "data") to Destination from its start; the
  // converter's position is kept. 0 on success, else non-zero (also for a
  // stream error, which is not raised).
  uint32_t SaveWave(TStream& Destination);

 private:
  // Aligned so that every field of the format lies on its natural boundary.
  struct alignas(4) TFormatBlock {
    TWaveFormatEx Format;
    uint8_t Extra[FormatBlockSize - sizeof(TWaveFormatEx)] = {};
  };
  static_assert(sizeof(TFormatBlock) >= FormatBlockSize && alignof(TFormatBlock) == 4);

  TFormatBlock FSource;
  TFormatBlock FTarget;
  uint32_t FMaxFormatSize = 0;
};

// The most PCM bytes a WAVE file can state in its 32-bit sizes.
constexpr int64_t MaxWavePcmBytes = 0xFFFFFFFFll - 36;
