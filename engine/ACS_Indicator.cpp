#include "engine/ACS_Indicator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <thread>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Chunks transformed side by side: every butterfly runs over this many
// chunks at once, which the compiler turns into vector instructions.
constexpr int kLanes = 16;

// The 64-point transform of real values is done as a 32-point complex one of
// z[n] = x[2n] + i·x[2n+1], split into the even and odd halves afterwards.
struct TTables {
  int BitRev[32];
  double TwRe[16], TwIm[16];        // e^(-2πik/32)
  double SplitRe[32], SplitIm[32];  // e^(-2πij/64)
  TTables() {
    for (int N = 0; N < 32; ++N) {
      int R = 0;
      for (int B = 0; B < 5; ++B)
        if (N & (1 << B)) R |= 1 << (4 - B);
      BitRev[N] = R;
    }
    for (int K = 0; K < 16; ++K) {
      TwRe[K] = std::cos(2 * kPi * K / 32);
      TwIm[K] = -std::sin(2 * kPi * K / 32);
    }
    for (int J = 0; J < 32; ++J) {
      SplitRe[J] = std::cos(2 * kPi * J / 64);
      SplitIm[J] = -std::sin(2 * kPi * J / 64);
    }
  }
};

const TTables& Tables() {
  static const TTables T;
  return T;
}

// The value of one frame: the sample, or the mean of left and right; 8-bit
// samples count as 0 ... 255, 16-bit ones as signed.
template <int Bits, int Channels>
inline double FrameValue(const uint8_t* P, int Frame) {
  if constexpr (Bits == 8) {
    if constexpr (Channels == 1)
      return P[Frame];
    else
      return (static_cast<double>(P[2 * Frame]) + P[2 * Frame + 1]) / 2;
  } else {
    auto S16 = [](const uint8_t* Q) {
      return static_cast<double>(static_cast<int16_t>(static_cast<uint16_t>(Q[0] | Q[1] << 8)));
    };
    if constexpr (Channels == 1)
      return S16(P + 2 * Frame);
    else
      return (S16(P + 4 * Frame) + S16(P + 4 * Frame + 2)) / 2;
  }
}

// Adds, for each of the 32 bands, the sum over Chunks chunks of log10 of the
// magnitude (0 where the magnitude is below 1) to Sum.
template <int Bits, int Channels>
void Spectrum(const uint8_t* P, int Chunks, const double* Window, double (&Sum)[32]) {
  const TTables& T = Tables();
  alignas(64) double Re[32][kLanes];
  alignas(64) double Im[32][kLanes];
  for (int C0 = 0; C0 < Chunks; C0 += kLanes) {
    const int Used = std::min(kLanes, Chunks - C0);
    for (int L = 0; L < kLanes; ++L) {
      const int First = (C0 + L) * 64;
      for (int N = 0; N < 32; ++N) {
        const int R = T.BitRev[N];
        if (L < Used) {
          Re[R][L] = FrameValue<Bits, Channels>(P, First + 2 * N) * Window[2 * N];
          Im[R][L] = FrameValue<Bits, Channels>(P, First + 2 * N + 1) * Window[2 * N + 1];
        } else {
          Re[R][L] = Im[R][L] = 0;  // an unused lane: magnitude 0, adds nothing
        }
      }
    }
    for (int Len = 2; Len <= 32; Len <<= 1) {
      const int Half = Len / 2, Step = 32 / Len;
      for (int Start = 0; Start < 32; Start += Len)
        for (int K = 0; K < Half; ++K) {
          const double Wr = T.TwRe[K * Step], Wi = T.TwIm[K * Step];
          double* Ar = Re[Start + K];
          double* Ai = Im[Start + K];
          double* Br = Re[Start + K + Half];
          double* Bi = Im[Start + K + Half];
          for (int L = 0; L < kLanes; ++L) {
            const double Tr = Wr * Br[L] - Wi * Bi[L];
            const double Ti = Wr * Bi[L] + Wi * Br[L];
            Br[L] = Ar[L] - Tr;
            Bi[L] = Ai[L] - Ti;
            Ar[L] += Tr;
            Ai[L] += Ti;
          }
        }
    }
    for (int J = 0; J < 32; ++J) {
      const int M = (32 - J) & 31;
      const double Cr = T.SplitRe[J], Ci = T.SplitIm[J];
      double Factor[kLanes];
      for (int L = 0; L < kLanes; ++L) {
        const double Er = (Re[J][L] + Re[M][L]) * 0.5, Ei = (Im[J][L] - Im[M][L]) * 0.5;
        const double Or = (Im[J][L] + Im[M][L]) * 0.5, Oi = (Re[M][L] - Re[J][L]) * 0.5;
        const double Xr = Er + Cr * Or - Ci * Oi;
        const double Xi = Ei + Cr * Oi + Ci * Or;
        // |X / 64|²; a magnitude below 1 has a negative logarithm and counts 0.
        const double P2 = (Xr * Xr + Xi * Xi) * (1.0 / 4096.0);
        Factor[L] = P2 > 1 ? P2 : 1;
      }
      // A sum of logarithms is the logarithm of the product: one log per band
      // for all lanes. Each factor is below 2^31, so 16 of them cannot overflow.
      double Product = 1;
      for (int L = 0; L < kLanes; ++L) Product *= Factor[L];
      Sum[J] += 0.5 * std::log10(Product);
    }
  }
}

}  // namespace

TSoundIndicator::TSoundIndicator(TComponent* AOwner) : TACSConverter(AOwner) {
  for (int I = 0; I < 1024; ++I) FWindow[I] = (1 - std::cos(2 * kPi * I / 1023)) / 2;
}

TACSInput* TSoundIndicator::CheckedInput() const {
  TACSInput* In = Input();
  if (!In) throw EACSException("Input is not assigned.");
  return In;
}

int TSoundIndicator::InBitsPerSample() { return CheckedInput()->InBitsPerSample(); }
int TSoundIndicator::InChannels() { return CheckedInput()->InChannels(); }
int TSoundIndicator::InSampleRate() { return CheckedInput()->InSampleRate(); }

void TSoundIndicator::Init() {
  TACSInput* In = CheckedInput();
  // Busy only once the input really is in a job.
  In->Init();
  FBusy = true;
  FSize = In->Size();
  std::fill(std::begin(FBands), std::end(FBands), 0.0);
  FAnalysisLock = false;
  FPosition = 0;
}

void TSoundIndicator::Flush() {
  if (TACSInput* In = Input()) In->Flush();
  FBusy = false;
  FAnalysisLock = false;
}

int TSoundIndicator::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  const int N = ReadInput(Buffer, BufferSize);
  if (TACSInput* In = Input()) FPosition = In->Position();
  if (N <= 0) return N;
  // The window is reading the bands: this block passes unmeasured.
  if (FAnalysisLock.exchange(true, std::memory_order_acquire)) return N;
  TACSInput* In = Input();
  if (In) Analyse(Buffer, N, In->InBitsPerSample(), In->InChannels());
  FAnalysisLock.store(false, std::memory_order_release);
  return N;
}

void TSoundIndicator::Analyse(const void* Data, int Bytes, int Bits, int Channels) {
  int Frames;
  if (Bits == 8 && Channels == 1)
    Frames = Bytes;
  else if ((Bits == 8 && Channels == 2) || (Bits == 16 && Channels == 1))
    Frames = Bytes / 2;
  else if (Bits == 16 && Channels == 2)
    Frames = Bytes / 4;
  else
    return;
  const int Chunks = Frames / kChunkFrames;
  // Fewer than 64 frames make no chunk: nothing to add and nothing to divide.
  if (Chunks <= 0) return;
  double Sum[kBands] = {};
  const auto* P = static_cast<const uint8_t*>(Data);
  if (Bits == 8)
    Channels == 1 ? Spectrum<8, 1>(P, Chunks, FWindow, Sum)
                  : Spectrum<8, 2>(P, Chunks, FWindow, Sum);
  else
    Channels == 1 ? Spectrum<16, 1>(P, Chunks, FWindow, Sum)
                  : Spectrum<16, 2>(P, Chunks, FWindow, Sum);
  for (int J = 0; J < kBands; ++J) FBands[J] = (FBands[J] + Sum[J]) / Chunks;
}

void TSoundIndicator::GetValues(double (&Values)[kBands]) {
  while (FAnalysisLock.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  for (int I = 0; I < kBands; ++I) {
    Values[I] = FBands[I] * 20;
    FBands[I] = 0;
  }
  FAnalysisLock.store(false, std::memory_order_release);
}
