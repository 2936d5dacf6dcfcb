#include "codecs/mac/RangeEncoder.h"

namespace ape {

void TRangeEncoder::Start(std::vector<uint8_t>* Out) {
  FOut = Out;
  FLow = 0;
  FRange = kTop;
  FBuffer = 0;  // comes out first: the dummy byte decoders skip
  FPending = 0;
}

void TRangeEncoder::PutPending(uint8_t B) {
  FOut->insert(FOut->end(), FPending, B);
  FPending = 0;
}

void TRangeEncoder::Shift() {
  if (FLow < (0xFFu << kShift)) {
    // No carry can reach the held byte any more: release it and the 0xFFs.
    Put(static_cast<uint8_t>(FBuffer));
    PutPending(0xFF);
    FBuffer = FLow >> kShift;
  } else if (FLow & kTop) {
    // A carry: it lands in the held byte and turns the 0xFFs into zeros.
    Put(static_cast<uint8_t>(FBuffer + 1));
    PutPending(0x00);
    FBuffer = (FLow >> kShift) & 0xFF;
  } else {
    // The top byte is 0xFF: a later carry could still ripple through it.
    ++FPending;
  }
  FLow = (FLow << 8) & (kTop - 1);
  FRange <<= 8;
}

void TRangeEncoder::Flush() {
  Normalize();
  const uint32_t T = (FLow >> kShift) + 1;
  if (T > 0xFF) {
    Put(static_cast<uint8_t>(FBuffer + 1));
    PutPending(0x00);
  } else {
    Put(static_cast<uint8_t>(FBuffer));
    PutPending(0xFF);
  }
  Put(static_cast<uint8_t>(T));
  Put(0);
  Put(0);
  Put(0);
}

}  // namespace ape
