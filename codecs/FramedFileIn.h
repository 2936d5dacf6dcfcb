// A file source whose decoder gives whole frames of PCM: the frame decoded
// last is handed out piece by piece, and the next one decoded when it is
// used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ACS_Classes.h"
#include "platform/Streams.h"

class TFramedFileIn : public TACSFileIn {
 public:
  explicit TFramedFileIn(TComponent* AOwner) : TACSFileIn(AOwner) {}

  // Copies at most BufferSize bytes of PCM; 0 when the data is over (never
  // with Loop set, unless the range to play is empty). Raises "The Stream is
  // not opened" outside a job, and whatever DecodeFrame raises.
  int GetData(void* Buffer, int BufferSize) override;

 protected:
  // False when the decoder is not there or the data cannot be delivered.
  virtual bool CanDecode() const = 0;
  // Decodes the next frame into FFrame and FFrameBytes (FReadIndex is then
  // put to 0); false at the end of the data. Called under the file lock.
  virtual bool DecodeFrame() = 0;

  // Opens the file named (raising "File name is not assigned" without a
  // name, or the stream's error) or takes the stream given: FSource.
  void OpenSource();
  // Drops the frame and lets the source go: a file opened here is closed, a
  // stream given goes back to its start (when it is seekable).
  void ReleaseSource();

  std::unique_ptr<TStream> FOwnStream;  // the file this component opened
  TStream* FSource = nullptr;           // the stream read: FOwnStream or Stream()
  bool FEndOfFile = false;
  // The last decoded frame as interleaved PCM (16-bit storage; 8-bit frames
  // use its bytes), its byte count and the read index into it.
  std::vector<int16_t> FFrame;
  size_t FFrameBytes = 0;
  size_t FReadIndex = 0;
};
