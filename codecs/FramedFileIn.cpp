#include "codecs/FramedFileIn.h"

#include <algorithm>
#include <cstring>
#include <mutex>

int TFramedFileIn::GetData(void* Buffer, int BufferSize) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (BufferSize <= 0) return 0;
  for (bool Restarted = false;;) {
    const int64_t S = FSize;
    if (!CanDecode() || (S >= 0 && FPosition >= S)) FEndOfFile = true;
    if (FEndOfFile) {
      FReadIndex = FFrameBytes = 0;
      // Loop: start again from StartSample, once per call so that an empty
      // range cannot spin here.
      if (!FLoop || Restarted) return 0;
      Restarted = true;
      Flush();
      Init();
      continue;
    }
    if (FReadIndex < FFrameBytes) break;
    if (!DecodeFrame()) FEndOfFile = true;
  }
  size_t N = std::min(static_cast<size_t>(BufferSize), FFrameBytes - FReadIndex);
  const int64_t S = FSize;
  if (S >= 0) N = std::min<size_t>(N, static_cast<size_t>(S - FPosition));
  std::memcpy(Buffer, reinterpret_cast<const uint8_t*>(FFrame.data()) + FReadIndex, N);
  FReadIndex += N;
  FPosition += static_cast<int64_t>(N);
  return static_cast<int>(N);
}

void TFramedFileIn::OpenSource() {
  if (!FStreamAssigned && FFileName.empty()) throw EACSException("File name is not assigned");
  if (!FStreamAssigned)
    FOwnStream = std::make_unique<TFileStream>(FFileName, TFileMode::fmOpenRead);
  FSource = FOwnStream ? FOwnStream.get() : FStream;
}

void TFramedFileIn::ReleaseSource() {
  std::vector<int16_t>().swap(FFrame);
  FFrameBytes = FReadIndex = 0;
  if (FOwnStream) {
    FOwnStream.reset();
  } else if (FSource && FSeekable) {
    try {
      FSource->SetPosition(0);
    } catch (...) {
      // Closing cannot fail; a stream that cannot rewind fails on its next
      // use, where the error reaches the caller.
    }
  }
  FSource = nullptr;
}
