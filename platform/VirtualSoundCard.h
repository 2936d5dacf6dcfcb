// An in-process sound system with the same interface as the sound server's:
// capture devices that generate a known signal and playback devices that keep
// what they are given. Each open stream runs on a thread of its own, so blocks
// come back on a "device" thread as they do from a real server. Failures can
// be injected: a device that refuses to open, a stream that dies after a given
// number of bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/SoundCard.h"

class TVirtualSoundCard : public TSoundCard {
 public:
  // Writes Count bytes of capture signal; Offset counts the bytes the stream
  // has recorded before them.
  using TGenerator =
      std::function<void(uint8_t* To, size_t Count, uint64_t Offset, const TPcmFormat& Format)>;

  // Devices are numbered 0 ... n-1; -1 means device 0.
  explicit TVirtualSoundCard(int CaptureDevices = 2, int PlaybackDevices = 2);
  ~TVirtualSoundCard() override;

  std::vector<TSoundDevice> CaptureDevices() override;
  std::vector<TSoundDevice> PlaybackDevices() override;
  std::unique_ptr<TSoundStream> OpenCapture(int Device, const TPcmFormat& Format,
                                            TSoundBlockDone OnDone) override;
  std::unique_ptr<TSoundStream> OpenPlayback(int Device, const TPcmFormat& Format,
                                             TSoundBlockDone OnDone) override;
  void SetRecordingSelection(const std::string& SourceName) override;
  std::string RecordingSelection() const override;

  // The default capture signal: byte number i of a recording is i % 251, so
  // a lost, doubled or reordered byte shows.
  static uint8_t PatternByte(uint64_t Offset) { return static_cast<uint8_t>(Offset % 251); }
  void SetGenerator(TGenerator G);
  // 0: devices work as fast as blocks arrive. Otherwise a device takes the
  // block's playing time divided by Factor (1 = real time).
  void SetSpeed(double Factor);
  // Opening fails with Message (empty: opening works).
  void SetOpenFailure(const std::string& Message);
  // Capture (playback) streams opened from now on stop working after Bytes
  // bytes (-1: never).
  void SetCaptureFailAfter(int64_t Bytes);
  void SetPlaybackFailAfter(int64_t Bytes);
  // Capture streams opened from now on never give a block back (a device
  // that hangs); Reset and closing still return them.
  void SetStalled(bool Value);
  // Capture streams opened from now on record at their own pace (the speed
  // factor, real time when it is 0) in slices of 10 ms, as a real device
  // does, instead of waiting for blocks: sound that finds no block is lost
  // and counted in DroppedBytes.
  void SetRealTimeCapture(bool Value);
  // Real-time capture: Count bytes of sound from byte At of a recording are
  // lost as if no block had been there (a reader that fell behind).
  void SetCaptureLoss(int64_t At, int64_t Count);

  // Everything played on a playback device so far, in order.
  std::vector<uint8_t> Played(int Device) const;
  // Streams open right now.
  int OpenStreams() const;
  // The most blocks one stream has held at once.
  int MaxHeld() const;
  // The format and device of the last stream opened.
  TPcmFormat LastFormat() const;
  int LastDevice() const;

 private:
  friend class TVirtualStream;
  struct TSettings {
    TGenerator Generator;
    double Speed = 0;
    int64_t CaptureFailAfter = -1;
    int64_t PlaybackFailAfter = -1;
    bool Stalled = false;
    bool RealTime = false;
    int64_t LossAt = -1;
    int64_t LossCount = 0;
  };
  std::unique_ptr<TSoundStream> Open(bool Capture, int Device, const TPcmFormat& Format,
                                     TSoundBlockDone OnDone);
  void StreamClosed();
  void NoteHeld(int Count);
  void AppendPlayed(int Device, const uint8_t* Data, size_t Count);

  const int FCaptureCount;
  const int FPlaybackCount;
  mutable std::mutex FLock;  // guards everything below
  TSettings FSettings;
  std::string FOpenFailure;
  std::string FSelection;
  std::map<int, std::vector<uint8_t>> FPlayed;
  int FOpen = 0;
  int FMaxHeld = 0;
  TPcmFormat FLastFormat;
  int FLastDevice = -2;
};
