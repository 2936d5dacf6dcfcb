// Reads an APE file through FFmpeg's APE demuxer and decoder. Decoding goes a
// whole frame at a time: a frame is checked against its CRC before any of its
// PCM is handed out, so damaged audio never reaches the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/mac/ApeCApi.h"
#include "codecs/mac/AvLibraries.h"

namespace ape {

class TApeReader {
 public:
  TApeReader() = default;
  TApeReader(const TApeReader&) = delete;
  TApeReader& operator=(const TApeReader&) = delete;
  ~TApeReader();

  int Open(const char* FileName);
  // Copies up to Blocks blocks of interleaved PCM; *Retrieved is 0 at the end.
  // After an error every further call repeats it until the next Seek.
  int GetData(uint8_t* Buffer, int64_t Blocks, int64_t* Retrieved);
  int Seek(int64_t Block);
  intptr_t GetInfo(int Field) const;

 private:
  // Decodes the next frame into FPcm. Returns 1 with a frame, 0 at the end of
  // the file, or minus an error code.
  int DecodeFrame();
  int Append(const AVFrame* F, int64_t Limit);
  void Close();

  const TAvLibraries* FAv = nullptr;
  AVFormatContext* FFormat = nullptr;
  AVCodecContext* FCodec = nullptr;
  AVPacket* FPacket = nullptr;
  AVFrame* FFrame = nullptr;
  int FStream = 0;
  int FVersion = 0;

  int FRate = 0;
  int FBits = 0;
  int FChannels = 0;
  int FBlockAlign = 0;
  int64_t FTotalBlocks = 0;

  std::vector<uint8_t> FPcm;  // the current frame, interleaved
  size_t FPcmPos = 0;         // bytes of it already handed out
  int64_t FNextBlock = 0;     // first block after the current frame
  int64_t FSeekTarget = -1;   // block to start from after a seek
  bool FEnd = false;
  int FError = 0;
};

}  // namespace ape
