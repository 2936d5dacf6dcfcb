// Arbitrary bytes as a lyric file: time tags of any shape, other tags,
// unclosed brackets, line ends of any kind. The lines must come out with
// finite times of 0 or more, in order, and reading must neither crash nor
// overflow.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/Karaoke.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  const std::vector<TLyricLine> Lines = ParseLyrics(Text);
  double Last = 0;
  for (const TLyricLine& L : Lines) {
    if (!std::isfinite(L.Seconds) || L.Seconds < Last) std::abort();
    if (L.Text.find('\n') != std::string::npos) std::abort();
    Last = L.Seconds;
  }
  return 0;
}
