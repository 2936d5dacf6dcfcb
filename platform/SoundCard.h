// The sound-card layer: capture and playback devices behind one interface, so
// the engine's device components never see the sound server's API. Blocks of
// PCM travel between a component and a stream the way wave headers do: the
// component hands a block over, the device gives it back through a call-back
// on the library's own thread once it is filled (capture) or played
// (playback).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A device that cannot be opened, a server that cannot be reached, a format
// the layer cannot carry. The message says which and why.
class ESoundCardError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Interleaved little-endian PCM: 8-bit unsigned or 16-bit signed samples.
struct TPcmFormat {
  int SampleRate = 44100;
  int Channels = 2;
  int BitsPerSample = 16;

  int BlockAlign() const { return Channels * BitsPerSample / 8; }
  int BytesPerSecond() const { return SampleRate * BlockAlign(); }
  // True for the formats the layer carries: 8 or 16 bits, 1 or 2 channels,
  // 1 Hz ... 192 kHz.
  bool Supported() const;
};

// One block travelling between a component and a device. The component owns
// it, except between handing it over and getting it back.
struct TSoundBlock {
  explicit TSoundBlock(size_t Bytes) : Data(Bytes) {}
  // Capture: room for the device to fill. Playback: the bytes to play.
  std::vector<uint8_t> Data;
  // Capture: how many bytes of Data the device filled (fewer than Data.size()
  // only for the block that was being filled when the stream was reset or
  // failed).
  size_t BytesRecorded = 0;
  // Link for the component's own queue; the layer never touches it.
  TSoundBlock* Next = nullptr;
};

// Called with a block that the device gives back. Runs on the library's
// thread, or on the caller's thread inside Reset, Add (after a failure) and
// the stream's destruction. It must not call back into the stream.
using TSoundBlockDone = std::function<void(TSoundBlock* Block)>;

struct TSoundDevice {
  int Index = 0;            // the number components use (BaseChannel)
  std::string Name;         // the server's name of the source or sink
  std::string Description;  // what a person reads
};

// An open capture or playback device. Destroying it closes the device; every
// block it still holds comes back through the call-back before the destructor
// returns, and no call-back runs after that.
class TSoundStream {
 public:
  TSoundStream() = default;
  TSoundStream(const TSoundStream&) = delete;
  TSoundStream& operator=(const TSoundStream&) = delete;
  virtual ~TSoundStream() = default;

  // Capture: hands over an empty block to be filled. Playback: queues a block
  // to be played. After a failure the block comes straight back.
  virtual void Add(TSoundBlock* Block) = 0;
  // Capture: starts recording into the blocks handed over (playback plays as
  // soon as blocks arrive).
  virtual void Start() = 0;
  // Stops the device and gives back every block it holds; a capture block
  // comes back with what was recorded into it so far.
  virtual void Reset() = 0;
  // Playback: waits until what was handed over has been heard, at most
  // TimeoutMs. Capture: nothing.
  virtual void Drain(int TimeoutMs) = 0;
  // Empty while the stream works; otherwise why it stopped (the server went
  // away, the device was removed). A failed stream has given back every block
  // it held and gives back at once every block handed to it later.
  virtual std::string Error() const = 0;
  // Capture: bytes of recorded sound that found no block to go into and were
  // lost, since the stream opened (a reader that falls behind its device).
  // Playback: 0. Any thread.
  virtual uint64_t DroppedBytes() const = 0;
};

// A sound system: the devices it offers and a way to open them.
//
// Capture device numbers: 0 (and -1) is the recording selection (the source
// chosen with SetRecordingSelection, else the server's default source);
// 1 ... n are the individual sources. Playback: 0 (and -1) is the default
// output, 1 ... n the individual outputs. A system that cannot be reached has
// no devices.
class TSoundCard {
 public:
  TSoundCard() = default;
  TSoundCard(const TSoundCard&) = delete;
  TSoundCard& operator=(const TSoundCard&) = delete;
  virtual ~TSoundCard() = default;

  virtual std::vector<TSoundDevice> CaptureDevices() = 0;
  virtual std::vector<TSoundDevice> PlaybackDevices() = 0;
  int CaptureDeviceCount() { return static_cast<int>(CaptureDevices().size()); }
  int PlaybackDeviceCount() { return static_cast<int>(PlaybackDevices().size()); }

  // Opens a device. Raises ESoundCardError when the device does not exist,
  // the system cannot be reached, the format is not carried or the device
  // refuses. OnDone receives every block given back.
  virtual std::unique_ptr<TSoundStream> OpenCapture(int Device, const TPcmFormat& Format,
                                                    TSoundBlockDone OnDone) = 0;
  virtual std::unique_ptr<TSoundStream> OpenPlayback(int Device, const TPcmFormat& Format,
                                                     TSoundBlockDone OnDone) = 0;

  // The source that capture device 0 records (a source's server name); empty
  // = the server's default source. Only this program is affected.
  virtual void SetRecordingSelection(const std::string& SourceName) = 0;
  virtual std::string RecordingSelection() const = 0;
};

// The sound system the device components use: the sound server unless a test
// installed another one.
TSoundCard& CurrentSoundCard();
// Installs Card (not owned; it must outlive its use) as the current system;
// null goes back to the sound server.
void UseSoundCard(TSoundCard* Card);

// Where a stream's sound is at a moment: its stream time (the sound being
// heard now for playback, being captured at the source now for capture,
// counted from the stream's first sample) and its latency (playback: how long
// a sample written now takes to be heard; capture: how long a sample takes
// from the source to the reader), both in microseconds, read at AtUs on the
// steady clock.
struct TStreamClock {
  int64_t PositionUs = 0;
  int64_t LatencyUs = 0;
  int64_t AtUs = 0;
  // The part of the latency spent in the device itself (the sink's or the
  // source's own buffer).
  int64_t DeviceUs = 0;
};

// Reads the clocks of this process's most recently opened playback and
// capture streams that are running (a capture started, a playback with
// timing known), one right after the other. False when either has none yet.
// Any thread. Streams of a layer without timing never take part.
bool ReadStreamClocks(TStreamClock& Playback, TStreamClock& Capture);

// For the layers: a stream that can tell its clock registers a reader for its
// life (Key: the stream); the reader returns false while the clock is not
// known. A reader is never called after its UnregisterStreamClock returned,
// and must not call these functions itself.
void RegisterStreamClock(const void* Key, bool Capture, std::function<bool(TStreamClock&)> Read);
void UnregisterStreamClock(const void* Key);
