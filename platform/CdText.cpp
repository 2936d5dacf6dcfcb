#include "platform/CdText.h"

#include <cstring>

namespace {

// The length of the UTF-8 sequence that starts at S[I], or 0 when none valid
// starts there (overlong forms, surrogates and code points past U+10FFFF are
// not valid).
size_t SequenceLength(std::string_view S, size_t I) {
  const auto Byte = [&S](size_t K) { return static_cast<unsigned char>(S[K]); };
  const unsigned char C = Byte(I);
  if (C < 0x80) return 1;
  size_t N;
  unsigned char Low = 0x80, High = 0xBF;  // range of the second byte
  if (C >= 0xC2 && C <= 0xDF) {
    N = 2;
  } else if (C >= 0xE0 && C <= 0xEF) {
    N = 3;
    if (C == 0xE0) Low = 0xA0;
    if (C == 0xED) High = 0x9F;
  } else if (C >= 0xF0 && C <= 0xF4) {
    N = 4;
    if (C == 0xF0) Low = 0x90;
    if (C == 0xF4) High = 0x8F;
  } else {
    return 0;
  }
  if (I + N > S.size()) return 0;
  if (Byte(I + 1) < Low || Byte(I + 1) > High) return 0;
  for (size_t K = 2; K < N; ++K)
    if ((Byte(I + K) & 0xC0) != 0x80) return 0;
  return N;
}

bool IsUtf8(std::string_view S) {
  for (size_t I = 0; I < S.size();) {
    const size_t N = SequenceLength(S, I);
    if (N == 0) return false;
    I += N;
  }
  return true;
}

}  // namespace

std::string Utf8OrLatin1(std::string_view Text) {
  if (IsUtf8(Text)) return std::string(Text);
  std::string R;
  R.reserve(Text.size() * 2);
  for (const char Ch : Text) {
    const auto C = static_cast<unsigned char>(Ch);
    if (C < 0x80) {
      R += Ch;
    } else {
      R += static_cast<char>(0xC0 | (C >> 6));
      R += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return R;
}

size_t Utf8PrefixLength(std::string_view Utf8, size_t Max) {
  if (Utf8.size() <= Max) return Utf8.size();
  size_t N = Max;
  // Back up over continuation bytes to the start of the cut character.
  while (N > 0 && (static_cast<unsigned char>(Utf8[N]) & 0xC0) == 0x80) --N;
  return N;
}

void SetCdField(char* Field, size_t Size, std::string_view Text) {
  if (Size == 0) return;
  const std::string U = Utf8OrLatin1(Text);
  const size_t N = Utf8PrefixLength(U, Size - 1);
  std::memset(Field, 0, Size);
  std::memcpy(Field, U.data(), N);
}

std::string CdFieldText(const char* Field, size_t Size) {
  const void* Zero = std::memchr(Field, 0, Size);
  const size_t N = Zero ? static_cast<size_t>(static_cast<const char*>(Zero) - Field) : Size;
  std::string_view Text(Field, N);
  // A field filled by someone who cut a character at its end still reads as
  // UTF-8, without the cut character.
  size_t Lead = N;
  while (Lead > 0 && N - Lead < 3 && (static_cast<unsigned char>(Text[Lead - 1]) & 0xC0) == 0x80)
    --Lead;
  if (Lead > 0 && static_cast<unsigned char>(Text[Lead - 1]) >= 0xC0 &&
      SequenceLength(Text, Lead - 1) == 0 && IsUtf8(Text.substr(0, Lead - 1)))
    Text = Text.substr(0, Lead - 1);
  return Utf8OrLatin1(Text);
}
