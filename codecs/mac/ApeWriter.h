// Writes one APE file (format version 3990): PCM comes in through a frame-sized
// buffer, whole frames are compressed and written as they fill, and Finish
// completes the seek table, header and MD5.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/mac/ApeCApi.h"
#include "codecs/mac/Checksums.h"
#include "codecs/mac/FrameEncoder.h"

namespace ape {

class TApeWriter {
 public:
  TApeWriter() = default;
  TApeWriter(const TApeWriter&) = delete;
  TApeWriter& operator=(const TApeWriter&) = delete;
  // An unfinished file is removed.
  ~TApeWriter();

  int Start(const char* FileName, const APE_WAVEFORMATEX* Format, int64_t MaxAudioBytes, int Level,
            const void* HeaderData, int64_t HeaderBytes);
  uint8_t* LockBuffer(int64_t* BytesAvailable);
  int UnlockBuffer(int64_t BytesAdded, bool Process);
  int AddData(const uint8_t* Data, int64_t Bytes);
  int64_t BufferBytesAvailable() const;
  int Finish(const uint8_t* TerminatingData, int64_t TerminatingBytes, int64_t WavTerminatingBytes);
  // Closes and removes an unfinished file.
  int Kill();

 private:
  enum class TState { Idle, Started, Failed, Finished };

  // Compresses the whole frames in the input buffer; with Final also the
  // whole blocks of a last, shorter frame.
  int ProcessBuffer(bool Final);
  // Appends logical frame bytes, packing them into 32-bit words.
  void AppendLogical(const uint8_t* P, size_t N);
  // Writes the pending file bytes of the frame region.
  int FlushOut();
  int WriteAt(int64_t Offset, const void* Data, size_t Bytes);
  int ReadAt(int64_t Offset, void* Data, size_t Bytes);
  // Moves Bytes bytes at From to To inside the file.
  int MoveData(int64_t From, int64_t To, int64_t Bytes);
  // Discards the file and keeps Code; errno stays as the failing call left
  // it, so that a caller can tell why a write failed (APE_ERROR_IO_WRITE).
  int Fail(int Code);
  void Discard();

  TState FState = TState::Idle;
  int FError = 0;
  std::string FFileName;
  int FFd = -1;

  int FLevel = 0;
  int FBits = 0;
  int FChannels = 0;
  uint32_t FRate = 0;
  int FBlockAlign = 0;
  int FBlocksPerFrame = 0;
  std::unique_ptr<TFrameEncoder> FEncoder;

  std::vector<uint8_t> FInput;  // one frame of PCM
  size_t FInputUsed = 0;

  std::vector<uint8_t> FHeaderData;  // the stored source header, if any
  bool FStoreHeader = false;
  int64_t FReservedEntries = 0;  // seek-table entries laid out at Start
  int64_t FDataStart = 0;        // file offset of the frame region as written

  std::vector<uint8_t> FFrameBytes;  // logical bytes of the frame being made
  std::vector<uint8_t> FOut;         // packed file bytes not yet written
  uint8_t FCarry[4] = {0, 0, 0, 0};  // logical bytes short of a whole word
  size_t FCarryLen = 0;
  uint64_t FLogicalBytes = 0;          // logical bytes of all frames so far
  int64_t FWritten = 0;                // bytes of the frame region written
  std::vector<uint64_t> FFrameStarts;  // logical offset of every frame
  uint64_t FTotalBlocks = 0;
  uint32_t FLastFrameBlocks = 0;
  TMd5 FMd5;
};

}  // namespace ape
