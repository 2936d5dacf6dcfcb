#include "engine/ACS_AudioMix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

namespace {

// Releases a spin flag when the scope ends.
struct TUnlock {
  TSpinFlag& Flag;
  ~TUnlock() { Flag.Unlock(); }
};

// Flushes a source whose job is being given up; what it raises is kept for
// later in First (the first failure wins) rather than stopping the clean-up.
void FlushKeepingError(TACSInput* In, std::exception_ptr& First) {
  if (!In) return;
  try {
    In->Flush();
  } catch (...) {
    if (!First) First = std::current_exception();
  }
}

// One sample of a block: unscaled at full volume, else through the table.
template <bool Full>
inline int Scaled16(const std::array<int16_t, 65536>& Table, int16_t S) {
  if constexpr (Full)
    return S;
  else
    return Table[static_cast<uint16_t>(S)];
}

template <bool Full1, bool Full2>
void Mix16(const int16_t* A, int16_t* B, int Samples, const std::array<int16_t, 65536>& T1,
           const std::array<int16_t, 65536>& T2) {
  for (int I = 0; I < Samples; ++I) {
    const int Sum = Scaled16<Full1>(T1, A[I]) + Scaled16<Full2>(T2, B[I]);
    // Integer division truncates toward zero, as the average must.
    B[I] = static_cast<int16_t>(Sum / 2);
  }
}

}  // namespace

TAudioMixer::TAudioMixer(TComponent* AOwner) : TACSInput(AOwner) {}

// ---------------------------------------------------------------- format

int TAudioMixer::InBitsPerSample() {
  TACSInput* In = FInput1.load();
  if (!In) throw EACSException("Input not assigned");
  return In->InBitsPerSample();
}

int TAudioMixer::InChannels() {
  TACSInput* In = FInput1.load();
  if (!In) throw EACSException("Input not assigned");
  return In->InChannels();
}

int TAudioMixer::InSampleRate() {
  TACSInput* In = FInput1.load();
  if (!In) throw EACSException("Input not assigned");
  return In->InSampleRate();
}

std::vector<TACSInput*> TAudioMixer::Sources() const {
  std::vector<TACSInput*> R;
  for (TACSInput* In : {FInput1.load(), FInput2.load()})
    if (In) R.push_back(In);
  return R;
}

// ---------------------------------------------------------------- inputs

void TAudioMixer::SetInput1(TACSInput* Value) {
  if (FBusy) throw EACSException("The component is buisy.");
  TACSInput* Old = FInput1.exchange(Value);
  if (Old == Value) return;
  if (Old && Old != FInput2.load()) RemoveFreeNotification(Old);
  if (Value) FreeNotification(Value);
}

void TAudioMixer::SetInput2(TACSInput* Value) {
  auto Store = [this, Value] {
    TACSInput* Old = FInput2.exchange(Value);
    if (Old == Value) return;
    if (Old && Old != FInput1.load()) RemoveFreeNotification(Old);
    if (Value) FreeNotification(Value);
  };
  if (!FBusy) {
    Store();
    return;
  }
  if (FJobMode != amRTMix) throw EACSException("The component is not in amFB mode.");

  // One locked step: the worker mixes silence until the lock is free again,
  // whatever happens here.
  FInput2Lock.Lock();
  TUnlock U{FInput2Lock};
  // The job may have ended meanwhile (Flush clears Busy under this lock):
  // then there is nothing to swap.
  if (!FBusy) {
    Store();
    return;
  }
  std::exception_ptr Failure;
  TACSInput* Old = FInput2.load();
  if (FInput2Open) FlushKeepingError(Old, Failure);
  FInput2Open = false;
  FEndOfInput2 = true;
  FInput2 = nullptr;
  if (Old && Old != FInput1.load() && Old != Value) RemoveFreeNotification(Old);
  if (Value) {
    Value->Init();  // raises with the lock released and no second input
    try {
      SetUpSecondInputFormat(*Value);
    } catch (...) {
      std::exception_ptr Ignored;  // the refusal is what the caller needs to hear
      FlushKeepingError(Value, Ignored);
      throw;
    }
    FInput2 = Value;
    FreeNotification(Value);
    FInput2Open = true;
    FEndOfInput2 = false;
  }
  if (Failure) std::rethrow_exception(Failure);
}

void TAudioMixer::SetUpSecondInputFormat(TACSInput& In) {
  const TPcmFormat From = FormatOf(In);
  const std::string Refused = "Input 2 (" + FormatText(From) +
                              ") cannot be converted to the format of input 1 (" +
                              FormatText(FFormat) + ")";
  if (!TPcmReformat::Possible(From, FFormat)) throw EACSException(Refused);
  try {
    FReformat2.Setup(From, FFormat);
  } catch (const std::exception& E) {
    throw EACSException(Refused + ": " + E.what());
  }
}

void TAudioMixer::DropSecondInput() {
  std::exception_ptr Ignored;  // the input ran out; its flush has nobody to tell
  if (FInput2Open) FlushKeepingError(FInput2.load(), Ignored);
  FInput2Open = false;
  FEndOfInput2 = true;
  FInput2 = nullptr;
}

void TAudioMixer::Notification(TComponent* AComponent, TOperation Operation) {
  TACSInput::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  std::exception_ptr Ignored;  // the input is going away whatever its flush says
  if (AComponent == FInput1.load()) {
    FInput1Lock.Lock();
    TUnlock U{FInput1Lock};
    if (FInput1Open) FlushKeepingError(FInput1.load(), Ignored);
    FInput1Open = false;
    FEndOfInput1 = true;
    FInput1 = nullptr;
  }
  if (AComponent == FInput2.load()) {
    FInput2Lock.Lock();
    TUnlock U{FInput2Lock};
    DropSecondInput();
  }
}

// ---------------------------------------------------------------- Init / Flush

void TAudioMixer::Init() {
  if (FBusy) throw EACSException("The component is buisy");
  FJobMode = FMode.load();
  FPosition = 0;
  FBufStart = 1;
  FBufEnd = 0;
  FEndOfInput1 = false;
  FEndOfInput2 = false;
  TACSInput* In1 = FInput1.load();
  TACSInput* In2 = FInput2.load();
  if (!In1) throw EACSException("Input1 not assigned");
  if (!In2 && FJobMode != amRTMix) throw EACSException("Input2 not assigned");

  try {
    In1->Init();
    FInput1Open = true;
    FFormat = FormatOf(*In1);
    // The mixer works on 8- and 16-bit samples of one or two channels.
    if (!TPcmReformat::Possible(FFormat, FFormat))
      throw EACSException("Input 1 (" + FormatText(FFormat) + ") cannot be mixed");
    int64_t Size2 = 0;
    if (In2) {
      In2->Init();
      FInput2Open = true;
      SetUpSecondInputFormat(*In2);
      Size2 = FReformat2.OutputSize(In2->Size());
    } else {
      FEndOfInput2 = true;
    }
    const int64_t Size1 = In1->Size();
    if (FJobMode == amRTMix)
      FSize = Size1;
    else if (Size1 < 0 || Size2 < 0)
      FSize = -1;
    else
      FSize = FJobMode == amMix ? std::max(Size1, Size2) : Size1 + Size2;
  } catch (...) {
    // Nothing of the failed job stays open, and the mixer is idle again.
    std::exception_ptr Ignored;  // the failure being raised is the cause
    if (FInput1Open) FlushKeepingError(In1, Ignored);
    if (FInput2Open) FlushKeepingError(In2, Ignored);
    FInput1Open = FInput2Open = false;
    FReformat2.Clear();
    throw;
  }
  FBusy = true;
}

void TAudioMixer::Flush() {
  std::exception_ptr First;
  {
    FInput1Lock.Lock();
    TUnlock U{FInput1Lock};
    if (FInput1Open) FlushKeepingError(FInput1.load(), First);
    FInput1Open = false;
  }
  {
    FInput2Lock.Lock();
    TUnlock U{FInput2Lock};
    if (FInput2Open) FlushKeepingError(FInput2.load(), First);
    FInput2Open = false;
    FReformat2.Clear();
    // Under the lock: a swap waiting for it then finds the job over.
    FBusy = false;
  }
  if (First) std::rethrow_exception(First);
}

// ---------------------------------------------------------------- GetData

int TAudioMixer::FillFromInput1(uint8_t* Buffer, int Bytes) {
  FInput1Lock.Lock();
  TUnlock U{FInput1Lock};
  TACSInput* In = FInput1.load();
  int Got = 0;
  while (Got < Bytes) {
    const int N = In ? In->GetData(Buffer + Got, Bytes - Got) : 0;
    if (N <= 0) {
      FEndOfInput1 = true;
      break;
    }
    Got += N;
  }
  return Got;
}

int TAudioMixer::FillFromInput2(uint8_t* Buffer, int Bytes) {
  TACSInput* In = FInput2.load();
  int Got = 0;
  while (Got < Bytes) {
    const int N = In ? FReformat2.Read(*In, Buffer + Got, Bytes - Got) : 0;
    if (N <= 0) {
      FEndOfInput2 = true;
      break;
    }
    Got += N;
  }
  return Got;
}

int TAudioMixer::ReadSecondInput() {
  auto* Buf = reinterpret_cast<uint8_t*>(FBuf2.data());
  if (FJobMode == amRTMix) {
    // A swap in progress: this block gets silence instead of waiting.
    if (!FInput2Lock.TryLock()) return 0;
  } else {
    if (FEndOfInput2) return 0;
    FInput2Lock.Lock();
  }
  TUnlock U{FInput2Lock};
  if (!FInput2Open || FEndOfInput2) return 0;
  const int N = FillFromInput2(Buf, BufferSize);
  // A second input that ran out leaves the job; the next may come.
  if (FJobMode == amRTMix && FEndOfInput2) DropSecondInput();
  return N;
}

int TAudioMixer::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  auto* Out = reinterpret_cast<uint8_t*>(FBuf2.data());
  if (FBufEnd < FBufStart) {
    if (FJobMode == amRTMix ? FEndOfInput1.load() : FEndOfInput1 && FEndOfInput2) return 0;
    // Empty until the refill below has something; a refill that ends the
    // data leaves it so.
    FBufStart = 1;
    FBufEnd = 0;
    if (FJobMode == amConcatenate) {
      // All of Input1 first, a call at a time, then Input2's.
      int N = 0;
      if (!FEndOfInput1) {
        FInput1Lock.Lock();
        TUnlock U{FInput1Lock};
        TACSInput* In = FInput1.load();
        N = In ? In->GetData(Out, TAudioMixer::BufferSize) : 0;
        if (N <= 0) FEndOfInput1 = true;
      }
      if (N <= 0) {
        FInput2Lock.Lock();
        TUnlock U{FInput2Lock};
        TACSInput* In = FInput2.load();
        N = In && FInput2Open ? FReformat2.Read(*In, Out, TAudioMixer::BufferSize) : 0;
        if (N <= 0) {
          FEndOfInput2 = true;
          return 0;
        }
      }
      FBufEnd = N;
    } else {
      auto* In1 = reinterpret_cast<uint8_t*>(FBuf1.data());
      const int N1 = FEndOfInput1 ? 0 : FillFromInput1(In1, TAudioMixer::BufferSize);
      const int N2 = ReadSecondInput();
      // amRTMix lasts as long as Input1.
      if (N1 == 0 && (N2 == 0 || FJobMode == amRTMix)) return 0;
      const int SampleBytes = FFormat.BitsPerSample / 8;
      int Len = std::max(N1, N2);
      Len = (Len + SampleBytes - 1) / SampleBytes * SampleBytes;
      // The shorter input is made up with silence.
      const uint8_t Silence = FFormat.BitsPerSample == 8 ? 0x80 : 0;
      std::memset(In1 + N1, Silence, static_cast<size_t>(Len - N1));
      std::memset(Out + N2, Silence, static_cast<size_t>(Len - N2));
      MixBlock(Len);
      FBufEnd = Len;
    }
  }
  const int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
  std::memcpy(Buffer, Out + FBufStart - 1, static_cast<size_t>(N));
  FBufStart += N;
  FPosition += N;
  return N;
}

// ---------------------------------------------------------------- mixing

void TAudioMixer::PrepareTables(int V1, int V2) {
  const int Bits = FFormat.BitsPerSample;
  if (Bits != FScaleBits) {
    FScaleBits = Bits;
    FScaleVolume1 = FScaleVolume2 = -1;
  }
  auto Build = [Bits](std::array<int16_t, 65536>& Table, int Volume) {
    const double Factor = static_cast<double>(Volume) / 255.0;
    if (Bits == 16) {
      for (int K = 0; K < 65536; ++K)
        Table[static_cast<size_t>(K)] =
            static_cast<int16_t>(std::nearbyint(Factor * static_cast<int16_t>(K)));
    } else {
      for (int K = 0; K < 256; ++K)
        Table[static_cast<size_t>(K)] = static_cast<int16_t>(std::nearbyint(Factor * (K - 128)));
    }
  };
  if (V1 != 255 && V1 != FScaleVolume1) {
    Build(FScale1, V1);
    FScaleVolume1 = V1;
  }
  if (V2 != 255 && V2 != FScaleVolume2) {
    Build(FScale2, V2);
    FScaleVolume2 = V2;
  }
}

void TAudioMixer::MixBlock(int Bytes) {
  // Read once per block: a change shows from the next block on.
  const int V1 = FVolume1.load(std::memory_order_relaxed);
  const int V2 = FVolume2.load(std::memory_order_relaxed);
  PrepareTables(V1, V2);
  if (FFormat.BitsPerSample == 16)
    MixBlock16(Bytes / 2, V1, V2);
  else
    MixBlock8(Bytes, V1, V2);
}

void TAudioMixer::MixBlock16(int Samples, int V1, int V2) {
  const int16_t* A = FBuf1.data();
  int16_t* B = FBuf2.data();
  if (V1 == 255 && V2 == 255)
    Mix16<true, true>(A, B, Samples, FScale1, FScale2);
  else if (V1 == 255)
    Mix16<true, false>(A, B, Samples, FScale1, FScale2);
  else if (V2 == 255)
    Mix16<false, true>(A, B, Samples, FScale1, FScale2);
  else
    Mix16<false, false>(A, B, Samples, FScale1, FScale2);
}

void TAudioMixer::MixBlock8(int Samples, int V1, int V2) {
  const auto* A = reinterpret_cast<const uint8_t*>(FBuf1.data());
  auto* B = reinterpret_cast<uint8_t*>(FBuf2.data());
  for (int I = 0; I < Samples; ++I) {
    const int S1 = V1 == 255 ? A[I] - 128 : FScale1[A[I]];
    const int S2 = V2 == 255 ? B[I] - 128 : FScale2[B[I]];
    B[I] = static_cast<uint8_t>((S1 + S2) / 2 + 128);
  }
}
