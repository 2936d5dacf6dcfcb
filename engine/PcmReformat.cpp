#include "engine/PcmReformat.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/ACS_Classes.h"

namespace {

// Bytes asked of the source per pull.
constexpr int kRawBytes = 16384;

bool Usable(const TPcmFormat& F) {
  return (F.BitsPerSample == 8 || F.BitsPerSample == 16) && (F.Channels == 1 || F.Channels == 2) &&
         F.SampleRate > 0;
}

bool SameFormat(const TPcmFormat& A, const TPcmFormat& B) {
  return A.BitsPerSample == B.BitsPerSample && A.Channels == B.Channels &&
         A.SampleRate == B.SampleRate;
}

// The frames the resampler makes of a whole source of Frames frames (it
// rounds the source's length over its rate ratio to the nearest frame).
int64_t ResampledFrames(int64_t Frames, int From, int To) {
  const double Ratio = static_cast<double>(From) / static_cast<double>(To);
  return static_cast<int64_t>(std::floor(static_cast<double>(Frames) / Ratio + 0.5));
}

}  // namespace

std::string FormatText(const TPcmFormat& F) {
  return std::to_string(F.BitsPerSample) + " bits, " + std::to_string(F.Channels) +
         (F.Channels == 1 ? " channel, " : " channels, ") + std::to_string(F.SampleRate) + " Hz";
}

TPcmFormat FormatOf(TACSInput& Source) {
  TPcmFormat F;
  F.SampleRate = Source.InSampleRate();
  F.Channels = Source.InChannels();
  F.BitsPerSample = Source.InBitsPerSample();
  return F;
}

struct TPcmReformat::TResampler {
  soxr_t Handle = nullptr;
  ~TResampler() {
    if (Handle) soxr_delete(Handle);
  }
};

TPcmReformat::TPcmReformat() = default;
TPcmReformat::~TPcmReformat() = default;

bool TPcmReformat::Possible(const TPcmFormat& From, const TPcmFormat& To) {
  return Usable(From) && Usable(To);
}

void TPcmReformat::Clear() {
  FResampler.reset();
  FReady = false;
  FIdentity = true;
}

void TPcmReformat::Setup(const TPcmFormat& From, const TPcmFormat& To) {
  Clear();
  const std::string Refused = "Cannot convert " + FormatText(From) + " audio to " + FormatText(To);
  if (!Possible(From, To)) throw EACSException(Refused);
  FFrom = From;
  FTo = To;
  FIdentity = SameFormat(From, To);
  FRawCarry = FMidFrames = FMidPos = 0;
  FSourceOver = FFlushed = false;
  if (!FIdentity) {
    const int MaxFrames = kRawBytes / From.BlockAlign();
    FRaw.assign(kRawBytes, 0);
    FMid.assign(static_cast<size_t>(MaxFrames) * To.Channels, 0);
    FOut.assign(static_cast<size_t>(kRawBytes / To.BlockAlign()) * To.Channels, 0);
  }
  if (From.SampleRate != To.SampleRate) {
    soxr_io_spec_t Io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    // The same input always gives the same output.
    Io.flags = SOXR_NO_DITHER;
    const soxr_quality_spec_t Quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t Runtime = soxr_runtime_spec(1);
    soxr_error_t Error = nullptr;
    auto R = std::make_unique<TResampler>();
    R->Handle = soxr_create(From.SampleRate, To.SampleRate, static_cast<unsigned>(To.Channels),
                            &Error, &Io, &Quality, &Runtime);
    if (!R->Handle || Error) throw EACSException(Refused + " (" + soxr_strerror(Error) + ")");
    FResampler = std::move(R);
  }
  FReady = true;
}

int64_t TPcmReformat::OutputSize(int64_t SourceBytes) const {
  if (SourceBytes < 0) return -1;
  if (FIdentity) return SourceBytes;
  int64_t Frames = SourceBytes / FFrom.BlockAlign();
  if (FFrom.SampleRate != FTo.SampleRate)
    Frames = ResampledFrames(Frames, FFrom.SampleRate, FTo.SampleRate);
  return Frames * FTo.BlockAlign();
}

bool TPcmReformat::RefillMid(TACSInput& Source) {
  const int FromFrame = FFrom.BlockAlign();
  while (true) {
    const int N = Source.GetData(FRaw.data() + FRawCarry, kRawBytes - FRawCarry);
    if (N <= 0) return false;
    const int Have = FRawCarry + N;
    const int Frames = Have / FromFrame;
    if (Frames == 0) {
      FRawCarry = Have;
      continue;
    }
    const uint8_t* P = FRaw.data();
    int16_t* Q = FMid.data();
    const int InCh = FFrom.Channels, OutCh = FTo.Channels;
    for (int F = 0; F < Frames; ++F) {
      int S[2];
      for (int C = 0; C < InCh; ++C) {
        if (FFrom.BitsPerSample == 8) {
          S[C] = (static_cast<int>(*P) - 128) * 256;
          P += 1;
        } else {
          int16_t V;
          std::memcpy(&V, P, 2);
          S[C] = V;
          P += 2;
        }
      }
      if (InCh == OutCh) {
        for (int C = 0; C < OutCh; ++C) *Q++ = static_cast<int16_t>(S[C]);
      } else if (OutCh == 2) {
        *Q++ = static_cast<int16_t>(S[0]);
        *Q++ = static_cast<int16_t>(S[0]);
      } else {
        *Q++ = static_cast<int16_t>((S[0] + S[1]) / 2);
      }
    }
    FRawCarry = Have - Frames * FromFrame;
    if (FRawCarry > 0) std::memmove(FRaw.data(), FRaw.data() + Frames * FromFrame, FRawCarry);
    FMidFrames = Frames;
    FMidPos = 0;
    return true;
  }
}

int TPcmReformat::ProduceFrames(TACSInput& Source, int16_t* Dst, int MaxFrames) {
  const int Ch = FTo.Channels;
  while (true) {
    if (FMidPos == FMidFrames && !FSourceOver && !RefillMid(Source)) FSourceOver = true;
    if (FMidPos < FMidFrames) {
      const int16_t* In = FMid.data() + static_cast<size_t>(FMidPos) * Ch;
      const int Left = FMidFrames - FMidPos;
      if (!FResampler) {
        const int N = std::min(Left, MaxFrames);
        std::memcpy(Dst, In, static_cast<size_t>(N) * Ch * sizeof(int16_t));
        FMidPos += N;
        return N;
      }
      size_t Used = 0, Made = 0;
      soxr_process(FResampler->Handle, In, static_cast<size_t>(Left), &Used, Dst,
                   static_cast<size_t>(MaxFrames), &Made);
      FMidPos += static_cast<int>(Used);
      if (Made > 0) return static_cast<int>(Made);
      continue;  // the filter took the input in without giving anything yet
    }
    // The source is over: what the filter still holds.
    if (!FResampler || FFlushed) return 0;
    size_t Made = 0;
    soxr_process(FResampler->Handle, nullptr, 0, nullptr, Dst, static_cast<size_t>(MaxFrames),
                 &Made);
    if (Made == 0) FFlushed = true;
    return static_cast<int>(Made);
  }
}

int TPcmReformat::Read(TACSInput& Source, void* Buffer, int Bytes) {
  if (!FReady) return 0;
  if (FIdentity) return Source.GetData(Buffer, Bytes);
  const int OutFrame = FTo.BlockAlign();
  const int MaxFrames = std::min(Bytes / OutFrame, static_cast<int>(FOut.size()) / FTo.Channels);
  if (MaxFrames <= 0) return 0;
  if (FTo.BitsPerSample == 16) {
    // 16-bit frames go straight to the caller when its buffer is aligned.
    if (reinterpret_cast<uintptr_t>(Buffer) % alignof(int16_t) == 0)
      return ProduceFrames(Source, static_cast<int16_t*>(Buffer), MaxFrames) * OutFrame;
    const int N = ProduceFrames(Source, FOut.data(), MaxFrames);
    std::memcpy(Buffer, FOut.data(), static_cast<size_t>(N) * OutFrame);
    return N * OutFrame;
  }
  const int N = ProduceFrames(Source, FOut.data(), MaxFrames);
  auto* Out = static_cast<uint8_t*>(Buffer);
  const int Samples = N * FTo.Channels;
  for (int I = 0; I < Samples; ++I) {
    // To the nearest 8-bit step; the top of the 16-bit range stays at 255.
    const int V = std::min((FOut[static_cast<size_t>(I)] + 128) >> 8, 127);
    Out[I] = static_cast<uint8_t>(V + 128);
  }
  return N * OutFrame;
}
