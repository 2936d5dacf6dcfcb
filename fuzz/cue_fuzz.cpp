// Arbitrary bytes as the cue sheet of a disc image beside a .bin of 200
// sectors: the image is opened as a drive, its table of contents read and
// checked, listed as the page lists it, and the first sectors of up to three
// audio tracks ripped (plain or checked reads, as the input's first byte
// picks). Whatever the sheet claims, nothing may crash, hang or read out of
// bounds, and a ripped track must be what the rip says it is.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/CdRip.h"
#include "app/RipUtility.h"
#include "platform/CdAccess.h"

// libcdio's cue sheet parser loses the name of a FILE when another FILE
// line follows before a track uses it: a leak inside the library, out of
// reach of its callers. (The library has no symbols to name the function.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libcdio.so\n"; }

namespace {

const std::string& Folder() {
  static const std::string F = [] {
    char T[] = "/tmp/velmora-cue-fuzz-XXXXXX";
    const std::string Made = ::mkdtemp(T) ? T : "/tmp";
    // Sectors of a pattern that tells them apart.
    std::ofstream Bin(Made + "/disc.bin", std::ios::binary);
    for (int S = 0; S < 200; ++S)
      for (int I = 0; I < 2352; ++I) Bin.put(static_cast<char>(S * 7 + I));
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    return Made;
  }();
  return F;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // The sheet names its files relative to itself: no path may lead elsewhere
  // (a device or a pipe would be read from).
  for (size_t I = 0; I < Size; ++I)
    if (Data[I] == '/') return 0;
  const std::string Cue = Folder() + "/disc.cue";
  const std::string Wav = Folder() + "/track.wav";
  {
    std::ofstream Out(Cue, std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  }
  ForgetCDDrives();
  if (!AddCDDrive(Cue)) return 0;
  DriveList List{};
  List.Max = 8;
  GetCDList(&List);
  for (int I = 0; I < List.Count; ++I) {
    if (CDDrivePath(List.Drives[I]) != Cue) continue;
    const DriveOpenRequest Request = CdOpenRequest(List.Drives[I]);
    const TCDHandle H = GetCDHandle(&Request);
    if (!H) break;
    TableOfContents Toc{};
    if (ReadTOC(H, &Toc) == 1) {
      const std::vector<TCdTrackRow> Rows = CdTrackRows(Toc);
      (void)RipCddbDiscId(Toc);
      int Ripped = 0;
      for (size_t K = 0; K < Rows.size() && Ripped < 3; ++K) {
        if (Rows[K].Data) continue;
        ++Ripped;
        const int32_t Frames = std::min<int32_t>(Rows[K].Frames, 12);
        const TRipTrackResult R = RipCdTrack(H, Toc, static_cast<int>(K), Frames, Wav,
                                             Size > 0 && (Data[0] & 1), nullptr);
        if (R.Ok) {
          std::ifstream In(Wav, std::ios::binary | std::ios::ate);
          if (R.Frames < 1 || R.Frames > Frames ||
              static_cast<int64_t>(In.tellg()) != 44 + R.Frames * 2352)
            std::abort();
        }
        std::remove(Wav.c_str());
      }
    }
    CloseCDHandle(H);
    break;
  }
  ForgetCDDrives();
  return 0;
}
