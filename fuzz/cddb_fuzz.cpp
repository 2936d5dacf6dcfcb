// Arbitrary bytes as a CDDB disc record, as the CD layer hands records on
// (made UTF-8 first): the titles of the tracks are taken from it and made
// file names as a rip makes them, and so is the album's for the rip log. A
// name must stay a name in the chosen folder whatever the record says: no
// '/', NUL or control character, never "." or "..", at most 250 bytes of
// whole UTF-8 characters, and no two names of one job alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "app/CdRip.h"
#include "app/RipUtility.h"
#include "platform/CdText.h"

namespace {

// Whether S is UTF-8: whole sequences of the shortest form, no surrogates,
// nothing past U+10FFFF.
bool IsUtf8(const std::string& S) {
  for (size_t I = 0; I < S.size();) {
    const auto B = static_cast<unsigned char>(S[I]);
    const size_t N = B < 0x80 ? 1 : (B >> 5) == 6 ? 2 : (B >> 4) == 14 ? 3 : (B >> 3) == 30 ? 4 : 0;
    if (N == 0 || I + N > S.size()) return false;
    uint32_t C = N == 1 ? B : B & (0x7F >> N);
    for (size_t K = 1; K < N; ++K) {
      const auto F = static_cast<unsigned char>(S[I + K]);
      if ((F & 0xC0) != 0x80) return false;
      C = C << 6 | (F & 0x3F);
    }
    const uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (C < Least[N] || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) return false;
    I += N;
  }
  return true;
}

void Check(const std::string& Name, std::set<std::string>& Seen) {
  if (Name.empty() || Name.size() > kRipNameMax || Name == "." || Name == "..") std::abort();
  for (const char C : Name)
    if (C == '/' || static_cast<unsigned char>(C) < 0x20 || C == 0x7F) std::abort();
  if (!IsUtf8(Name) || !Seen.insert(Name).second) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Record =
      Utf8OrLatin1(std::string_view(reinterpret_cast<const char*>(Data), Size));
  if (!IsUtf8(Record)) std::abort();
  const int First = Size > 0 ? 1 + Data[0] % 99 : 1;
  TRipNames Names;
  std::set<std::string> Seen;
  for (int Track = First; Track <= 99 && Track < First + 24; ++Track) {
    const std::string Title = CddbTrackTitle(Track, First, Record);
    Check(Names.Take(RipSafeStem(RipTrackName(Title), Track), ".wav"), Seen);
  }
  // The album: the log's name.
  const size_t Album = Record.find(" / ");
  if (Album != std::string::npos)
    Check(Names.Take(RipSafeStem(Record.substr(Album + 3, 400), 0), ".log"), Seen);
  return 0;
}
