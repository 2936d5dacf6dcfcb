// The MP3 file sink: encodes the PCM of its Input at a constant bit rate with
// LAME and ends the file with an ID3 version 1 tag.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ACS_Classes.h"

struct lame_global_struct;

enum class TMP3BitRate {
  br8,
  br16,
  br24,
  br32,
  br40,
  br48,
  br56,
  br64,
  br80,
  br96,
  br112,
  br128,
  br144,
  br160,
  br192,
  br224,
  br256,
  br320
};

// The bit rate in kbit/s that a TMP3BitRate stands for.
int MP3BitRateKbps(TMP3BitRate Value);
// The member for a bit rate in kbit/s; false when there is none.
bool MP3BitRateFromKbps(int Kbps, TMP3BitRate& Value);

// Writes FileName as an MP3 file, always replacing an existing file (there is
// no appending). The input must be 8- or 16-bit PCM, mono or stereo; 8-bit
// samples are widened to 16 bits and mono is fed to the encoder as two equal
// channels.
//
// The constructor loads the encoder library if no other encoder holds it and
// raises "libmp3lame.so.0 library could not be loaded." when that fails; the
// last encoder destroyed unloads it.
//
// Done flushes the encoder with the six tag fields (no tag when all are empty),
// and, when the file can seek, writes the encoder's information frame over the
// placeholder frame at its start, so that players know the exact length.
class TMP3Out : public TACSFileOut {
 public:
  static constexpr int InBufferSize = 16384;
  static constexpr int OutBufferSize = 17440;

  explicit TMP3Out(TComponent* AOwner);

  TMP3BitRate BitRate() const { return FBitRate; }
  // The bit rate the encoder really took in the last Prepare, when it is not
  // BitRate (MPEG 2.5 at 8 kHz goes no higher than 64 kbit/s); 0 otherwise.
  int ChangedKbps() const { return FChangedKbps; }
  void SetBitRate(TMP3BitRate Value) { FBitRate = Value; }

  std::string Id3TagTitle, Id3TagArtist, Id3TagAlbum, Id3TagYear, Id3TagTrack, Id3TagComment;

 protected:
  ~TMP3Out() override;
  void BeforeDestruction() override;

  void Prepare() override;
  bool DoOutput(bool Abort) override;
  void Done() override;

 private:
  // Closes the encoder and the file, flushes the input; the first error is
  // raised after everything was released.
  void ReleaseJob(std::exception_ptr Err);
  // Encodes Frames sample frames of FPcm; raises when the encoder fails.
  void Encode(int Frames);
  void WriteInfoFrame();

  TMP3BitRate FBitRate = TMP3BitRate::br128;
  int FChangedKbps = 0;

  // Job state: written by Prepare (caller's thread) before the worker is
  // resumed, then used only by the worker (DoOutput, Done).
  lame_global_struct* FLame = nullptr;
  std::unique_ptr<TReplacementFile> FOwnStream;  // the file Prepare created
  bool FInputOpen = false;                       // Input was Init-ed and not yet flushed
  int FBits = 16;
  int FChannels = 2;
  int FCarry = 0;               // bytes of an incomplete sample frame kept for the next block
  int64_t FFirstFramePos = -1;  // where the encoder's placeholder frame starts; -1 = cannot seek
  std::array<int16_t, InBufferSize / 2> FPcm{};
  std::array<uint8_t, InBufferSize> FRaw{};  // one block as the input delivered it
  // 24-bit samples at the top of 32 bits, per channel (mono: both the same).
  std::array<int, InBufferSize / 3> FWideLeft{}, FWideRight{};
  std::unique_ptr<uint8_t[]> FOutBuffer;  // OutBufferSize bytes from Prepare to Done
};
