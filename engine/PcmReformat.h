// Turns the PCM a source delivers into another PCM format: 8 <-> 16 bits,
// one <-> two channels (the one channel copied into both, or the two
// averaged), and any sample rate into any other (libsoxr, its high-quality
// linear-phase filter, no dither). The mixer reads its second input through
// it when the two inputs differ.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SoundCard.h"

class TACSInput;

// The format a source delivers (its three queries).
TPcmFormat FormatOf(TACSInput& Source);
// "16 bits, 2 channels, 44100 Hz": how messages name a format.
std::string FormatText(const TPcmFormat& F);

class TPcmReformat {
 public:
  TPcmReformat();
  ~TPcmReformat();
  TPcmReformat(const TPcmReformat&) = delete;
  TPcmReformat& operator=(const TPcmReformat&) = delete;

  // True when every format involved is 8 or 16 bits, 1 or 2 channels, and
  // has a sample rate.
  static bool Possible(const TPcmFormat& From, const TPcmFormat& To);
  // Prepares a conversion of a whole source, from its start, allocating all
  // it will need. From == To makes Read hand the source's bytes on as they
  // come. Raises EACSException when the conversion is not Possible or the
  // resampler refuses it; the object is then as after Clear.
  void Setup(const TPcmFormat& From, const TPcmFormat& To);
  // Frees the resampler; Read then reads nothing.
  void Clear();
  bool Ready() const { return FReady; }

  // The bytes a source of SourceBytes bytes becomes (-1 when that is
  // negative, i.e. not known): a new rate gives the frames over the rates'
  // ratio, to the nearest frame, as many as the resampler makes of them.
  int64_t OutputSize(int64_t SourceBytes) const;

  // Up to Bytes bytes of To's format, pulled from Source (its GetData). Once
  // the rate changes or the format changes at all, only whole frames are
  // delivered, and a partial frame at the end of the source is dropped.
  // Returns 0 only when the source is over and all of it has been delivered.
  // Allocates nothing.
  int Read(TACSInput& Source, void* Buffer, int Bytes);

 private:
  // Pulls from Source and converts to 16-bit samples of To's channel count
  // in FMid; false when the source is over.
  bool RefillMid(TACSInput& Source);
  // Up to MaxFrames 16-bit frames of To's channels and rate into Dst; 0 at
  // the very end.
  int ProduceFrames(TACSInput& Source, int16_t* Dst, int MaxFrames);

  struct TResampler;
  std::unique_ptr<TResampler> FResampler;  // null when the rate stays
  bool FReady = false;
  bool FIdentity = true;
  TPcmFormat FFrom, FTo;

  // Job state, allocated by Setup.
  std::vector<uint8_t> FRaw;  // bytes as the source gave them
  int FRawCarry = 0;          // bytes of a partial frame kept from the last pull
  std::vector<int16_t> FMid;  // 16-bit, To's channels, From's rate
  int FMidFrames = 0;         // frames in FMid
  int FMidPos = 0;            // frames of FMid already handed on
  std::vector<int16_t> FOut;  // 16-bit frames of To before they become 8-bit
  bool FSourceOver = false;   // the source returned 0
  bool FFlushed = false;      // the resampler has given all it had
};
