#include "codecs/mac/Checksums.h"

#include <cstring>

namespace ape {

namespace {

// Slicing-by-4 tables: T[0] is the classic byte table, T[k] advances k more
// zero bytes.
struct TCrcTables {
  uint32_t T[4][256];
  TCrcTables() {
    for (uint32_t I = 0; I < 256; ++I) {
      uint32_t C = I;
      for (int K = 0; K < 8; ++K) C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
      T[0][I] = C;
    }
    for (uint32_t I = 0; I < 256; ++I)
      for (int K = 1; K < 4; ++K) T[K][I] = (T[K - 1][I] >> 8) ^ T[0][T[K - 1][I] & 0xFF];
  }
};

const TCrcTables& CrcTables() {
  static const TCrcTables Tables;
  return Tables;
}

inline uint32_t Rotl(uint32_t X, int S) { return (X << S) | (X >> (32 - S)); }

}  // namespace

uint32_t Crc32Update(uint32_t State, const void* Data, size_t Bytes) {
  const auto& T = CrcTables().T;
  const auto* P = static_cast<const uint8_t*>(Data);
  while (Bytes >= 4) {
    State ^= static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
             static_cast<uint32_t>(P[2]) << 16 | static_cast<uint32_t>(P[3]) << 24;
    State = T[3][State & 0xFF] ^ T[2][(State >> 8) & 0xFF] ^ T[1][(State >> 16) & 0xFF] ^
            T[0][State >> 24];
    P += 4;
    Bytes -= 4;
  }
  while (Bytes--) State = T[0][(State ^ *P++) & 0xFF] ^ (State >> 8);
  return State;
}

void TMd5::Reset() {
  FState[0] = 0x67452301u;
  FState[1] = 0xEFCDAB89u;
  FState[2] = 0x98BADCFEu;
  FState[3] = 0x10325476u;
  FBytes = 0;
  FUsed = 0;
}

void TMd5::Block(const uint8_t* P) {
  static const uint32_t K[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
      0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
      0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
      0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
      0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
      0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
      0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
      0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
      0xeb86d391};
  static const int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  uint32_t M[16];
  for (int I = 0; I < 16; ++I)
    M[I] = static_cast<uint32_t>(P[4 * I]) | static_cast<uint32_t>(P[4 * I + 1]) << 8 |
           static_cast<uint32_t>(P[4 * I + 2]) << 16 | static_cast<uint32_t>(P[4 * I + 3]) << 24;
  uint32_t A = FState[0], B = FState[1], C = FState[2], D = FState[3];
  for (int I = 0; I < 64; ++I) {
    uint32_t F;
    int G;
    if (I < 16) {
      F = (B & C) | (~B & D);
      G = I;
    } else if (I < 32) {
      F = (D & B) | (~D & C);
      G = (5 * I + 1) & 15;
    } else if (I < 48) {
      F = B ^ C ^ D;
      G = (3 * I + 5) & 15;
    } else {
      F = C ^ (B | ~D);
      G = (7 * I) & 15;
    }
    const uint32_t Tmp = D;
    D = C;
    C = B;
    B = B + Rotl(A + F + K[I] + M[G], S[I]);
    A = Tmp;
  }
  FState[0] += A;
  FState[1] += B;
  FState[2] += C;
  FState[3] += D;
}

void TMd5::Update(const void* Data, size_t Bytes) {
  if (Bytes == 0) return;  // Data may be null then
  const auto* P = static_cast<const uint8_t*>(Data);
  FBytes += Bytes;
  if (FUsed) {
    const size_t N = Bytes < 64 - FUsed ? Bytes : 64 - FUsed;
    std::memcpy(FBuffer + FUsed, P, N);
    FUsed += N;
    P += N;
    Bytes -= N;
    if (FUsed < 64) return;
    Block(FBuffer);
    FUsed = 0;
  }
  while (Bytes >= 64) {
    Block(P);
    P += 64;
    Bytes -= 64;
  }
  std::memcpy(FBuffer, P, Bytes);
  FUsed = Bytes;
}

void TMd5::Final(uint8_t Out[16]) {
  const uint64_t Bits = FBytes * 8;
  static const uint8_t Pad[64] = {0x80};
  const size_t PadLen = FUsed < 56 ? 56 - FUsed : 120 - FUsed;
  Update(Pad, PadLen);
  uint8_t L[8];
  for (int I = 0; I < 8; ++I) L[I] = static_cast<uint8_t>(Bits >> (8 * I));
  Update(L, 8);
  for (int I = 0; I < 4; ++I)
    for (int J = 0; J < 4; ++J) Out[4 * I + J] = static_cast<uint8_t>(FState[I] >> (8 * J));
}

}  // namespace ape
