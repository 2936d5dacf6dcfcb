#include "codecs/AcmMpegLayer3.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "codecs/MAD.h"
#include "codecs/MpegFrame.h"
#include "wave/MSAcm.h"

namespace {

constexpr uint16_t MpegLayer3Tag = 85;
// The format structure and its 12 bytes of MPEG Layer-3 fields.
constexpr uint32_t MpegLayer3FormatSize = sizeof(TWaveFormatEx) + 12;
constexpr uint32_t Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

bool Mpeg1Rate(uint32_t Rate) { return Rate >= 32000; }

// The format structure is packed: its fields are read by value, never bound
// to a reference.
bool UsableSource(const TWaveFormatEx& S) {
  const uint32_t Rate = S.SamplesPerSec;
  return S.FormatTag == MpegLayer3Tag && (S.Channels == 1 || S.Channels == 2) &&
         std::find(std::begin(Rates), std::end(Rates), Rate) != std::end(Rates);
}

bool PcmTargetOf(const TWaveFormatEx& S, const TWaveFormatEx& D) {
  return D.FormatTag == 1 && D.Channels == S.Channels && D.SamplesPerSec == S.SamplesPerSec &&
         D.BitsPerSample == 16 && D.BlockAlign == D.Channels * 2;
}

class TMpegLayer3Conversion : public TAcmConversion {
 public:
  TMpegLayer3Conversion(int Channels, uint32_t Rate) : FChannels(Channels), FRate(Rate) { Begin(); }
  ~TMpegLayer3Conversion() override { Finish(); }

  uint32_t OutputSize(uint32_t SourceBytes, uint32_t& Bytes) override {
    // Every frame at the lowest bit rate of this sample rate, plus the
    // partial frame held back from the last piece.
    const uint64_t Smallest = Mpeg1Rate(FRate) ? 144ull * 32000 / FRate : 72ull * 8000 / FRate;
    const uint64_t Frames = (uint64_t{SourceBytes} + MaxMpegFrameBytes) / Smallest + 1;
    const uint64_t Need = std::max<uint64_t>(Frames * SamplesPerFrame() * FrameBytes(), MaxOut());
    if (Need > UINT32_MAX) return kAcmNotPossible;
    Bytes = static_cast<uint32_t>(Need);
    return kAcmNoError;
  }

  uint32_t Convert(TAcmStreamHeader& H, uint32_t Flags) override {
    const TMADEntryPoints& M = MAD();
    if (Flags & kAcmConvertStart) {
      Finish();
      Begin();
    }
    FPending.insert(FPending.end(), H.Source, H.Source + H.SourceLength);
    H.SourceLengthUsed = H.SourceLength;
    const size_t DataLen = FPending.size();
    // WATCHOUT: libmad decodes a frame only once it sees MAD_BUFFER_GUARD bytes
    // behind it; at the end those are zeros, or the last frame would be lost.
    if (Flags & kAcmConvertEnd) FPending.resize(DataLen + MAD_BUFFER_GUARD, 0);
    M.mad_stream_buffer(&FStream, FPending.data(), FPending.size());

    uint32_t Result = kAcmNoError;
    uint32_t Used = 0;
    while (H.DestLength - Used >= MaxOut()) {
      if (M.mad_frame_decode(&FFrame, &FStream) == -1) {
        if (FStream.error == MAD_ERROR_BUFLEN) break;
        // Damaged frames are skipped, as the MP3 decoder skips them.
        if (MAD_RECOVERABLE(FStream.error)) continue;
        Result = FStream.error == MAD_ERROR_NOMEM ? kAcmNoMemory : kAcmError;
        break;
      }
      const bool First = FFirstFrame;
      FFirstFrame = false;
      // An encoder's information frame decodes to silence but is not audio.
      TMpegFrameHeader F;
      if (First && ParseMpegFrameHeader(FStream.this_frame, F) &&
          IsXingFrame(FStream.this_frame,
                      static_cast<size_t>(FStream.next_frame - FStream.this_frame), F))
        continue;
      if (FFrame.header.samplerate != FRate) continue;
      M.mad_synth_frame(&FSynth, &FFrame);
      Used += Store(FSynth.pcm, H.Dest + Used);
    }
    H.DestLengthUsed = Used;

    // What libmad has not taken stays for the next piece.
    size_t Taken = 0;
    if (FStream.next_frame && FStream.next_frame >= FPending.data())
      Taken = std::min(static_cast<size_t>(FStream.next_frame - FPending.data()), DataLen);
    FPending.resize(DataLen);
    FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(Taken));
    return Result;
  }

 private:
  int SamplesPerFrame() const { return Mpeg1Rate(FRate) ? 1152 : 576; }
  int FrameBytes() const { return FChannels * 2; }
  // Room one frame of any layer may need.
  uint32_t MaxOut() const { return static_cast<uint32_t>(1152 * FrameBytes()); }

  void Begin() {
    const TMADEntryPoints& M = MAD();
    M.mad_stream_init(&FStream);
    M.mad_frame_init(&FFrame);
    M.mad_synth_init(&FSynth);
    FPending.clear();
    FFirstFrame = true;
  }
  void Finish() {
    const TMADEntryPoints& M = MAD();
    M.mad_frame_finish(&FFrame);
    M.mad_stream_finish(&FStream);
  }

  // Writes one synthesised frame in the stream's channel count; returns the
  // bytes written.
  uint32_t Store(const mad_pcm& P, uint8_t* Out) const {
    const int N = std::min<int>(P.length, 1152);
    // As the MP3 decoder does it, in the stream's channel count.
    int16_t S[1152 * 2];
    MadPcmTo16(P, N, FChannels, S);
    const uint32_t Bytes = static_cast<uint32_t>(N * FrameBytes());
    std::memcpy(Out, S, Bytes);
    return Bytes;
  }

  const int FChannels;
  const uint32_t FRate;
  mad_stream FStream{};
  mad_frame FFrame{};
  mad_synth FSynth{};
  std::vector<uint8_t> FPending;  // input libmad has not taken yet
  bool FFirstFrame = true;
};

class TMpegLayer3Driver : public TAcmDriver {
 public:
  uint32_t MaxFormatSize() const override { return MpegLayer3FormatSize; }

  uint32_t Suggest(const TWaveFormatEx& S, TWaveFormatEx& D, uint32_t DestSize,
                   uint32_t Flags) override {
    if (!UsableSource(S) || DestSize < 16) return kAcmNotPossible;
    if ((Flags & kAcmSuggestFormatTag) && D.FormatTag != 1) return kAcmNotPossible;
    if ((Flags & kAcmSuggestChannels) && D.Channels != S.Channels) return kAcmNotPossible;
    if ((Flags & kAcmSuggestSampleRate) && D.SamplesPerSec != S.SamplesPerSec)
      return kAcmNotPossible;
    if ((Flags & kAcmSuggestBitsPerSample) && D.BitsPerSample != 16) return kAcmNotPossible;
    // PCM has no extra bytes; room for the count field is optional.
    TWaveFormatEx P;
    P.FormatTag = 1;
    P.Channels = S.Channels;
    P.SamplesPerSec = S.SamplesPerSec;
    P.BitsPerSample = 16;
    P.BlockAlign = static_cast<uint16_t>(S.Channels * 2);
    P.AvgBytesPerSec = S.SamplesPerSec * P.BlockAlign;
    std::memcpy(&D, &P, std::min<uint32_t>(DestSize, sizeof P));
    return kAcmNoError;
  }

  uint32_t Open(const TWaveFormatEx& S, const TWaveFormatEx& D, bool Query,
                std::unique_ptr<TAcmConversion>& Conversion) override {
    if (!UsableSource(S) || !PcmTargetOf(S, D) || !MADLibrary().Load()) return kAcmNotPossible;
    const int Channels = S.Channels;
    const uint32_t Rate = S.SamplesPerSec;
    if (!Query) Conversion = std::make_unique<TMpegLayer3Conversion>(Channels, Rate);
    return kAcmNoError;
  }
};

}  // namespace

void InstallMpegLayer3AcmDriver() {
  static const std::shared_ptr<TAcmDriver> Driver = std::make_shared<TMpegLayer3Driver>();
  AcmInstallDriver(Driver);
}
