// The range coder of APE frames (format 3990): 32-bit low with a carry bit,
// one buffered output byte and a count of pending 0xFF bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace ape {

class TRangeEncoder {
 public:
  // Starts a frame's coder; bytes are appended to Out.
  void Start(std::vector<uint8_t>* Out);
  // A symbol of width Width at cumulative frequency Cum out of 65536.
  void EncodeShift16(uint32_t Width, uint32_t Cum) {
    Normalize();
    const uint32_t Q = FRange >> 16;
    FRange = Q * Width;
    FLow += Q * Cum;
  }
  // 16 raw bits.
  void EncodeRaw16(uint32_t V) {
    Normalize();
    FRange >>= 16;
    FLow += FRange * V;
  }
  // V out of Total equally likely values (Total <= 65536).
  void EncodeTotal(uint32_t V, uint32_t Total) {
    Normalize();
    const uint32_t Q = FRange / Total;
    FRange = Q;
    FLow += Q * V;
  }
  // Ends the frame: the bytes that let a decoder read every value back.
  void Flush();

 private:
  static constexpr uint32_t kTop = 0x80000000u;
  static constexpr uint32_t kBottom = 0x00800000u;
  static constexpr int kShift = 23;

  void Normalize() {
    while (FRange <= kBottom) Shift();
  }
  void Shift();
  void Put(uint8_t B) { FOut->push_back(B); }
  void PutPending(uint8_t B);

  std::vector<uint8_t>* FOut = nullptr;
  uint32_t FLow = 0;
  uint32_t FRange = kTop;
  uint32_t FBuffer = 0;   // the byte held back in case a carry reaches it
  uint32_t FPending = 0;  // 0xFF bytes held back behind it
};

}  // namespace ape
