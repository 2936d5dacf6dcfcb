// Sound-card capture (a source) and playback (a sink) on the sound-card layer.
// Blocks cycle between a component and its device: the device gives each one
// back on the library's thread, where it is appended to the component's queue
// under the critical section of its direction; the worker takes blocks off
// the same queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ACS_Classes.h"
#include "platform/SoundCard.h"

// Records PCM from a capture device. Size is the byte count that RecTime asks
// for (negative when RecTime is negative: no limit); the recording ends at the
// first GetData that starts at or past it.
class TAudioIn : public TACSInput {
 public:
  explicit TAudioIn(TComponent* AOwner);

  int InBitsPerSample() override { return FBPS; }
  int InChannels() override { return FChan; }
  int InSampleRate() override { return FFreq; }
  void SetInBitsPerSample(int Value) { FBPS = Value; }
  void SetInChannels(int Value) { FChan = Value; }
  void SetInSampleRate(int Value) { FFreq = Value; }
  // The recording time in seconds.
  int TotalTime() override { return FRecTime; }

  // Opens the device (raising EACSException with the reason when it cannot),
  // hands it its blocks and starts recording.
  void Init() override;
  // Waits for a filled block when none is at hand. Raises EACSException when
  // the device stops working (after what it recorded has been delivered) or
  // when no sound arrives for several seconds.
  int GetData(void* Buffer, int BufferSize) override;
  // Stops the device, which gives back its blocks (what it recorded after
  // the end of the job is not wanted), and closes it.
  void Flush() override;

  int BaseChannel() const { return FBaseChannel; }
  // -1 is always accepted; otherwise the device must exist. Not during a job.
  void SetBaseChannel(int Value);
  // Seconds to record; negative = until the sink is stopped.
  int RecTime() const { return FRecTime; }
  void SetRecTime(int Value) { FRecTime = Value; }

  // Bytes of recorded sound lost in the current (or last) job because no
  // block was waiting for them: the worker fell further behind the device
  // than the queued blocks hold. 0 in a recording without a gap. Any thread.
  uint64_t DroppedBytes() const { return FDropped.load(std::memory_order_relaxed); }

  // Blocks of this size are handed to the device; as many are kept with it
  // as hold kQueuedMs of sound, and never fewer than kMinBlocksQueued, so a
  // worker held up that long (a slow disk, a busy machine) loses nothing.
  static constexpr int kBlockSize = 16384;
  static constexpr int kMinBlocksQueued = 4;
  static constexpr int kQueuedMs = 2000;
  // The blocks kept with the device for a recording in Format.
  static int BlocksQueued(const TPcmFormat& Format);

 protected:
  ~TAudioIn() override;

 private:
  TPcmFormat Format() const;
  // On the library's thread: a filled block comes back.
  void BlockDone(TSoundBlock* Block);
  // Worker: the oldest filled block, or null.
  TSoundBlock* TakeBlock();
  // Worker: the oldest filled block, waiting up to TimeoutMs for one; null
  // when none came.
  TSoundBlock* WaitForBlock(int TimeoutMs);
  void FreeQueue();
  void CloseDevice();
  // Worker: tops the device up to FBlocksWanted blocks.
  void QueueBlocks();
  // How long a block of recording lasts, in milliseconds.
  int BlockMs() const;

  int FBPS = 8;
  int FChan = 1;
  int FFreq = 8000;
  int FBaseChannel = 0;
  int FRecTime = 600;
  int64_t FBytesToRecord = 0;
  int FBlocksWanted = kMinBlocksQueued;  // set by Init for the job's format
  int FOpenCount = 0;
  std::unique_ptr<TSoundStream> FStream;
  std::vector<uint8_t> FBuffer;  // the block being read out (FBufStart / FBufEnd)
  // Filled blocks, oldest first; the tail is the address of the last link.
  // Guarded by the capture section.
  TSoundBlock* FHead = nullptr;
  TSoundBlock** FTail = &FHead;
  // Blocks with the device: counted up by the worker, down by the device.
  std::atomic<int> FQueued{0};
  std::condition_variable FArrived;  // a block came back (with the capture section)
  // The stream's count, copied by the worker as it takes blocks and when the
  // job ends; read by any thread.
  std::atomic<uint64_t> FDropped{0};
};

// Plays its input on a playback device, keeping up to nine blocks of 8192
// bytes queued; the worker sleeps 6 ms before every step.
class TAudioOut : public TACSOutput {
 public:
  explicit TAudioOut(TComponent* AOwner);

  int BaseChannel() const { return FBaseChannel; }
  // Not during a job. Without any playback device the value becomes 0;
  // otherwise the device must exist.
  void SetBaseChannel(int Value);
  // 255 plays the samples unchanged; lower values scale them by Volume / 255.
  uint8_t Volume() const { return FVolume; }
  void SetVolume(uint8_t Value) { FVolume = Value; }

  static constexpr int kBlockSize = 8192;

 protected:
  ~TAudioOut() override;
  bool DoOutput(bool Abort) override;
  // Waits until everything queued has been heard, closes the device, flushes
  // the input.
  void Done() override;
  void Prepare() override;

 private:
  void BlockDone(TSoundBlock* Block);
  void FreeQueue();
  void CloseDevice();
  void ApplyVolume(TSoundBlock& Block, int Bits) const;

  int FBaseChannel = 0;
  std::atomic<uint8_t> FVolume{255};
  int FQueueTarget = 8;
  bool FPrepared = false;  // Prepare ran and Done has not yet flushed the input
  int FBits = 16;          // the format being played
  int FBytesPerSecond = 176400;
  std::unique_ptr<TSoundStream> FStream;
  // Played blocks, oldest first. Guarded by the playback section.
  TSoundBlock* FHead = nullptr;
  TSoundBlock** FTail = &FHead;
  std::atomic<int> FQueued{0};
};
