// The sound-card layer on the sound server: libpulse's asynchronous API run by
// a threaded main loop. Every open stream has its own connection and main-loop
// thread, so a stream that fails takes nothing else with it; the device lists
// are read through a short-lived connection of their own.
#pragma once

#include <mutex>
#include <string>

#include "platform/SoundCard.h"

class TPulseSoundCard : public TSoundCard {
 public:
  // Server: a server address ("unix:/run/.../native"); empty = the usual
  // lookup (PULSE_SERVER, then the user's runtime folder). No server is ever
  // started on demand.
  // PlaybackTargetMs: how much sound playback keeps queued at the server; more
  // rides out longer stalls of this program at the cost of delay.
  explicit TPulseSoundCard(std::string Server = {}, int PlaybackTargetMs = kPlaybackTargetMs)
      : FServer(std::move(Server)), FPlaybackTargetMs(PlaybackTargetMs) {}
  // The server address given at construction.
  const std::string& Server() const { return FServer; }

  std::vector<TSoundDevice> CaptureDevices() override;
  std::vector<TSoundDevice> PlaybackDevices() override;
  std::unique_ptr<TSoundStream> OpenCapture(int Device, const TPcmFormat& Format,
                                            TSoundBlockDone OnDone) override;
  std::unique_ptr<TSoundStream> OpenPlayback(int Device, const TPcmFormat& Format,
                                             TSoundBlockDone OnDone) override;
  void SetRecordingSelection(const std::string& SourceName) override;
  std::string RecordingSelection() const override;

  // Playback streams start at the program's playback volume
  // (platform/DeviceVolumes.h).
  //
  // Capture hands data over every 10 ms; playback keeps about 40 ms queued at
  // the server. With the server's default buffers capture arrives in bursts of
  // seconds.
  static constexpr int kCaptureFragmentMs = 10;
  static constexpr int kPlaybackTargetMs = 40;

 private:
  std::string FServer;
  int FPlaybackTargetMs;
  mutable std::mutex FLock;  // guards FSelection (window thread vs. workers)
  std::string FSelection;
};
