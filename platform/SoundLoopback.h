// Plays what a capture device records on a playback device as it arrives,
// inside this process: nothing of it can outlive the program.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/SoundCard.h"

class TSoundLoopback {
 public:
  // Opens both devices of Card and starts; raises ESoundCardError when either
  // cannot be opened. Blocks of BlockMs milliseconds circulate, Blocks of them
  // in all: when the playback side falls behind, the capture side runs out of
  // blocks and the newest sound is dropped, so the delay never grows past
  // Blocks x BlockMs plus the playback device's own buffer.
  TSoundLoopback(TSoundCard& Card, int CaptureDevice, int PlaybackDevice, const TPcmFormat& Format,
                 int BlockMs = 10, int Blocks = 8);
  // Stops both devices; no call-back runs after it returns.
  ~TSoundLoopback();
  TSoundLoopback(const TSoundLoopback&) = delete;
  TSoundLoopback& operator=(const TSoundLoopback&) = delete;

  // Linear factor applied to every sample on its way through (1 = unchanged,
  // 0 = silence); results beyond the sample range are clipped. Any thread.
  void SetGain(double Linear) { FGain = Linear; }
  double Gain() const { return FGain; }
  // Empty while both devices work; otherwise why one of them stopped.
  std::string Error() const;

  // Scales interleaved samples of the given width (8-bit unsigned or 16-bit
  // signed) by Gain, rounding to the nearest value and clipping.
  static void ApplyGain(uint8_t* Data, size_t Bytes, int BitsPerSample, double Gain);

 private:
  void Captured(TSoundBlock* Block);  // on the capture device's thread
  void Played(TSoundBlock* Block);    // on the playback device's thread
  void Execute();                     // the loop's own thread

  const TPcmFormat FFormat;
  const size_t FBlockBytes;
  std::atomic<double> FGain{1.0};
  std::vector<std::unique_ptr<TSoundBlock>> FPool;  // every block, owned here
  // Guarded by FLock: blocks waiting to go to the other device.
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TSoundBlock*> FToPlay;    // recorded, not yet handed to playback
  std::deque<TSoundBlock*> FToRecord;  // played, not yet handed back to capture
  bool FStop = false;
  std::unique_ptr<TSoundStream> FCapture;
  std::unique_ptr<TSoundStream> FPlayback;
  std::thread FThread;
};
