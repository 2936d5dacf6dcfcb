// Arbitrary bytes as an APE file: TMACIn over libMACDll.so (FFmpeg's demuxer
// and decoder behind it) must neither crash nor read out of bounds, whatever
// the header, seek table and frames claim. The library's errors (EAPEException)
// are the only way out; nothing else may escape. A second pass reads a range
// from a start frame taken from the input, looping, with bounded reads.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzRead.h"
#include "codecs/ACS_MAC.h"

namespace {

// The library opens files by name: the input goes into an in-memory file.
const std::string& InputFile() {
  static const std::string Name = [] {
    const int Fd = ::memfd_create("apedec-fuzz", 0);
    return "/proc/self/fd/" + std::to_string(Fd);
  }();
  return Name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string& Name = InputFile();
  const int Fd = std::stoi(Name.substr(Name.rfind('/') + 1));
  if (::ftruncate(Fd, 0) != 0 || ::pwrite(Fd, Data, Size, 0) != static_cast<ssize_t>(Size))
    return 0;

  auto In = MakeComponent<TMACIn>(nullptr);
  In->SetFileName(Name);
  int Frames = 0;
  try {
    if (!In->Valid()) return 0;
    (void)In->InChannels();
    (void)In->InSampleRate();
    (void)In->InBitsPerSample();
    (void)In->TotalTime();
    Frames = In->SampleCount();
  } catch (const EAPEException&) {
    return 0;
  }
  // Hostile headers may promise hours of silence: the reads are bounded.
  ReadJob<EAPEException, EAPEException>(*In, 100, 20000);

  if (Size > 0) {
    ReadPickedRange<EAPEException, EAPEException>(*In, Data, Size, Frames);
  }
  return 0;
}
