// The two checksums of an APE file: the CRC-32 of each frame's PCM and the
// MD5 of the file's header, seek table and frame data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ape {

// CRC-32 (reflected polynomial 0xEDB88320). Start with Crc32Start(), feed
// bytes, finish with Crc32Final().
inline constexpr uint32_t Crc32Start() { return 0xFFFFFFFFu; }
uint32_t Crc32Update(uint32_t State, const void* Data, size_t Bytes);
inline constexpr uint32_t Crc32Final(uint32_t State) { return ~State; }

// MD5 (RFC 1321), fed in pieces of any size.
class TMd5 {
 public:
  TMd5() { Reset(); }
  void Reset();
  void Update(const void* Data, size_t Bytes);
  // Finishes the digest into Out; the object must be Reset before reuse.
  void Final(uint8_t Out[16]);

 private:
  void Block(const uint8_t* P);
  uint32_t FState[4];
  uint64_t FBytes;
  uint8_t FBuffer[64];
  size_t FUsed;
};

}  // namespace ape
