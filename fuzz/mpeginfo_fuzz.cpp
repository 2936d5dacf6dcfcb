// Arbitrary bytes as an MP3 file for the information probe: frame headers,
// ID3 version 2 sizes, Xing frame counts and ID3 version 1 tags may claim
// anything; the probe must neither crash nor overflow working out the play
// time and the average bit rate. Every offset is also parsed as a lone frame
// header.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "codecs/MPEGAudio.h"
#include "codecs/MpegFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // The probe reads a file by name.
  static const std::string Path = "/tmp/velmora-mpeginfo-fuzz-" + std::to_string(::getpid());
  FILE* F = std::fopen(Path.c_str(), "wb");
  if (!F) return 0;
  std::fwrite(Data, 1, Size, F);
  std::fclose(F);

  TMPEGAudio Probe;
  Probe.OnError = [](const std::string&) { return static_cast<int>(mpaIgnore); };
  Probe.SetAutoRead(false);
  Probe.SetFileName(Path);
  if (Probe.Read() == 0 && Probe.Valid()) {
    (void)Probe.AverageBitRate();
    (void)Probe.DurationTime();
    (void)Probe.Info().Title.size();
  }
  TMpegFrameHeader H;
  for (size_t I = 0; I + 4 <= Size; ++I) (void)ParseMpegFrameHeader(Data + I, H);
  return 0;
}
