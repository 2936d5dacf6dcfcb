// The RIFF WAVE file source: uncompressed PCM, IMA (DVI) ADPCM, Microsoft
// ADPCM and MPEG Layer-3, one or two channels, delivered as 8- or 16-bit PCM.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ACS_Classes.h"
#include "wave/AdpcmCodec.h"
#include "wave/RiffChunks.h"
#include "wave/WavType.h"

// Reads a WAVE file named by SetFileName, or the stream given by SetStream.
//
// The header is found by a scan of the first 8192 bytes: "RIFF" and "WAVE" are
// looked for one byte at a time (junk in front is passed over), then chunks are
// walked by their stored sizes until "data". Chunk names are compared with
// letter case ignored. Compressed files need a "fact" chunk between "fmt " and
// "data". The 64-bit forms ("RF64", "BW64") are read like "RIFF": the sizes of
// their "ds64" chunk (the first after "WAVE") stand for the "data" size and
// "fact" count fields that hold all ones.
//
// A file the reader cannot decode is not Valid and delivers nothing: an
// unknown format tag, no "data" chunk within 8192 bytes, a channel count other
// than 1 or 2, PCM other than 8 or 16 bits, an IMA file whose bits per sample
// is not 4, an ADPCM block layout that does not fit the header it declares or
// decodes to more than BufferSize bytes, an MS table of more than 32 pairs.
//
// MPEG Layer-3 data (format tag 85, wave type wtACM) is converted whole to a
// PCM WAVE image in memory by the audio compression manager when the file is
// opened (by every outermost open: a format query converts too), and read from
// there like PCM; SampleCount and TotalTime are those of the PCM produced. A
// file that no installed driver converts is not Valid.
//
// Size is clamped to what the file really holds: a "data" size past the end of
// the file, or a "fact" count larger than the blocks can carry, count only the
// bytes or frames that are there. Ranges are exact for every type: of the
// ADPCM blocks at either end only the frames inside the range go out; without
// an end sample, the last block goes out whole (up to one block past Size).
class TWaveIn : public TACSFileIn {
 public:
  // The block buffer: one PCM refill or one decoded ADPCM block.
  static constexpr int BufferSize = 16384;
  // The "data" chunk must begin before this many bytes into the file.
  static constexpr int HeaderScanLimit = static_cast<int>(WaveHeaderScanLimit);

  explicit TWaveIn(TComponent* AOwner);

  // What the file holds, as found by the last outermost OpenFile. Opens and
  // closes the file like the format queries (not during a job).
  TWavType WavType();

  // Copies at most BufferSize bytes of PCM; 0 when the data is over (never
  // with Loop set, unless the range to play is empty). Raises "The Stream is
  // not opened" outside a job.
  int GetData(void* Buffer, int BufferSize) override;

  // Positions the open file at a sample frame: PCM (and the PCM image of an
  // MPEG file) exactly, ADPCM at the start of the block that holds the frame,
  // whose frames before it the next job does not deliver. False for a stream
  // that cannot seek, a negative frame, or a file that is not Valid.
  bool Seek(int64_t SampleNumber) override;
  std::string FormatName() const override { return "WAV"; }
  void Init() override;

  // The frames the header declares: the "data" size (or the "fact" count)
  // as stored, where SampleCount counts only what the file really holds. A
  // file cut short declares more than it holds.
  int64_t DeclaredSampleCount();

 protected:
  void OpenFile() override;
  void CloseFile() override;

 private:
  // Runs the header scan on the open stream and fills in the format fields,
  // Valid, SampleCount and Size.
  void ReadHeader();
  // MPEG Layer-3 WAVE (format tag 85): converts the whole file, read from
  // Start, into a PCM WAVE image in memory, makes that the source stream and
  // reads its header. False, with the file's stream in place, when that
  // fails.
  bool OpenAcmImage(int64_t Start);
  // Puts back the stream OpenAcmImage replaced.
  void CloseAcmImage();

  // Refills the block buffer; false when the data is over.
  bool Refill();
  // One PCM refill: bytes read, 0 at the end of the data.
  int ReadPcm();
  // One ADPCM block decoded: bytes of PCM, 0 at the end of the data.
  int DecodeBlock();

  // Decoded PCM (one refill); the inherited 1-based buffer indices walk it.
  std::array<int16_t, BufferSize / 2> FBuffer{};
  std::vector<uint8_t> FBlock;  // one compressed block as read from the file

  TWavType FWavType = wtUnsupported;
  std::unique_ptr<TStream> FOwnStream;  // the file opened by OpenFile
  // wtACM: the PCM image, the source stream while it exists, and the stream
  // it stands in for (the file, or the stream given from outside).
  std::unique_ptr<TMemoryStream> FAcmImage;
  TStream* FAcmReplaced = nullptr;

  // Where the sample data lies: from the first byte of the "data" body to its
  // end or the end of the file, whichever comes first.
  int64_t FDataOffset = 0;
  int64_t FDataEnd = 0;
  int64_t FDeclaredSamples = 0;
  // ADPCM: frames of the next decoded block that lie before the frame a Seek
  // asked for, dropped so that a range starts exactly there.
  int FSkipFrames = 0;

  // ADPCM layout.
  int FBlockAlign = 0;
  int FSamplesPerBlock = 0;  // as the header says
  int FFramesPerBlock = 0;   // what one whole block decodes to
  TMsCoefficients FCoefficients;
};
