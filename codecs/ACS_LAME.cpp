#include "codecs/ACS_LAME.h"

#include <algorithm>
#include <cstring>

#include "codecs/lame.h"
#include "wave/RiffChunks.h"

namespace {

constexpr int KbpsTable[] = {8,  16,  24,  32,  40,  48,  56,  64,  80,
                             96, 112, 128, 144, 160, 192, 224, 256, 320};

// Takes the encoder library before the component exists, so that a missing
// library leaves nothing half-built behind (no entry in the owner's list).
TComponent* AcquireLame(TComponent* Owner) {
  if (!LameLibrary().AddRef()) throw EACSException(LameLibrary().LoadError());
  return Owner;
}

}  // namespace

int MP3BitRateKbps(TMP3BitRate Value) {
  const int I = static_cast<int>(Value);
  if (I < 0 || I >= static_cast<int>(std::size(KbpsTable))) return 128;
  return KbpsTable[I];
}

bool MP3BitRateFromKbps(int Kbps, TMP3BitRate& Value) {
  for (size_t I = 0; I < std::size(KbpsTable); ++I)
    if (KbpsTable[I] == Kbps) {
      Value = static_cast<TMP3BitRate>(I);
      return true;
    }
  return false;
}

TMP3Out::TMP3Out(TComponent* AOwner) : TACSFileOut(AcquireLame(AOwner)) {}

TMP3Out::~TMP3Out() { LameLibrary().Release(); }

void TMP3Out::BeforeDestruction() {
  TACSOutput::BeforeDestruction();
  // A job cut short by destruction gets no Done from the engine: finish the
  // file here all the same, so that the encoder, the file and the input are
  // released and the file ends with whole frames.
  try {
    Done();
  } catch (...) {
    // Destruction has no caller to report to; the file is closed anyway.
  }
}

void TMP3Out::Prepare() {
  TACSInput* In = Input();
  if (FFileName.empty()) throw EACSException("File name is not assigned.");
  CheckInputFile();
  try {
    In->Init();
    FInputOpen = true;
    FBits = In->InBitsPerSample();
    FChannels = In->InChannels();
    const int Rate = In->InSampleRate();
    const bool Wide = FBits == 24 && Lame().lame_encode_buffer_int;
    if ((FBits != 8 && FBits != 16 && !Wide) || (FChannels != 1 && FChannels != 2))
      throw EACSException("Cannot encode " + std::to_string(FBits) + "-bit " +
                          std::to_string(FChannels) + "-channel audio to mp3.");
    // The encoder would take a rate of 0 or less for 44100 Hz without a word.
    if (Rate <= 0)
      throw EACSException("Cannot encode " + std::to_string(Rate) + " Hz audio to mp3.");

    const TLameEntryPoints& L = Lame();
    FLame = L.lame_init();
    if (!FLame) throw EACSException("The mp3 encoder could not be started.");
    if (In->Size() > 0)
      L.lame_set_num_samples(FLame,
                             static_cast<unsigned long>(In->Size() / ((FBits / 8) * FChannels)));
    L.lame_set_in_samplerate(FLame, Rate);
    // Always two channels: mono is fed as two equal ones.
    L.lame_set_num_channels(FLame, 2);
    const int Kbps = MP3BitRateKbps(FBitRate);
    L.lame_set_brate(FLame, Kbps);
    // Without this check a refused set-up would make every block fail and the
    // job would end "normally" with an empty file.
    if (L.lame_init_params(FLame) < 0)
      throw EACSException("The mp3 encoder cannot encode " + std::to_string(Rate) +
                          " Hz audio at " + std::to_string(Kbps) + " kbit/s.");
    FChangedKbps = 0;
    if (L.lame_get_brate && L.lame_get_brate(FLame) != Kbps) FChangedKbps = L.lame_get_brate(FLame);
    FOutBuffer = std::make_unique<uint8_t[]>(OutBufferSize);
    FCarry = 0;
    // Every check has passed: only now is a file created. It replaces an
    // existing one (there is no appending, whatever FileMode says) when Done
    // has finished it.
    FOwnStream = std::make_unique<TReplacementFile>(FFileName);
    FStream = FOwnStream.get();
    // The encoder's first output is a placeholder frame for its information
    // frame, at the start of the new file.
    FFirstFramePos = 0;
  } catch (...) {
    // The engine does not call Done for a job that failed to start.
    ReleaseJob(std::current_exception());
  }
}

bool TMP3Out::DoOutput(bool Abort) {
  if (!FActive) return true;
  ReportProgress();
  if (Abort) return false;

  const int FrameBytes = FChannels * (FBits / 8);
  int Total;
  if (FBits == 16) {
    auto* Dest = reinterpret_cast<uint8_t*>(FPcm.data());
    const int N = ReadInput(Dest + FCarry, InBufferSize - FCarry);
    if (N <= 0) return false;
    Total = FCarry + N;
  } else if (FBits == 24) {
    // Encoded from all 24 bits: LAME takes samples over the whole of an int.
    const int N = ReadInput(FRaw.data() + FCarry, InBufferSize - FCarry);
    if (N <= 0) return false;
    Total = FCarry + N;
    const int Frames = Total / FrameBytes;
    for (int I = 0; I < Frames; ++I)
      for (int C = 0; C < FChannels; ++C) {
        const int32_t V = GetLe24Signed(FRaw.data() + 3 * (I * FChannels + C));
        (C == 0 ? FWideLeft : FWideRight)[static_cast<size_t>(I)] =
            static_cast<int>(static_cast<uint32_t>(V) << 8);
      }
    if (FChannels == 1) std::copy_n(FWideLeft.begin(), Frames, FWideRight.begin());
  } else {
    // Half a block of 8-bit samples widens to one full block.
    const int N = ReadInput(FRaw.data() + FCarry, InBufferSize / 2 - FCarry);
    if (N <= 0) return false;
    Total = FCarry + N;
    for (int I = 0; I < Total; ++I) FPcm[I] = static_cast<int16_t>((FRaw[I] - 128) * 256);
  }
  const int Frames = Total / FrameBytes;
  Encode(Frames);
  // A source may hand out a block that ends inside a sample frame: keep the
  // odd bytes in front of the next block so the channels stay in step.
  const int Used = Frames * FrameBytes;
  FCarry = Total - Used;
  if (FCarry > 0) {
    if (FBits == 16) {
      auto* P = reinterpret_cast<uint8_t*>(FPcm.data());
      std::memmove(P, P + Used, static_cast<size_t>(FCarry));
    } else {
      std::memmove(FRaw.data(), FRaw.data() + Used, static_cast<size_t>(FCarry));
    }
  }
  return true;
}

void TMP3Out::Encode(int Frames) {
  if (Frames <= 0) return;
  const TLameEntryPoints& L = Lame();
  const int N = FBits == 24 ? L.lame_encode_buffer_int(FLame, FWideLeft.data(), FWideRight.data(),
                                                       Frames, FOutBuffer.get(), OutBufferSize)
                : FChannels == 2 ? L.lame_encode_buffer_interleaved(FLame, FPcm.data(), Frames,
                                                                    FOutBuffer.get(), OutBufferSize)
                                 : L.lame_encode_buffer(FLame, FPcm.data(), FPcm.data(), Frames,
                                                        FOutBuffer.get(), OutBufferSize);
  if (N < 0) throw EACSException("The mp3 encoder failed (error " + std::to_string(N) + ").");
  FStream->WriteBuffer(FOutBuffer.get(), N);
}

void TMP3Out::Done() {
  std::exception_ptr Err;
  if (FLame) {
    try {
      const TLameEntryPoints& L = Lame();
      // The tag is set up now, after the audio: the flush then appends it as
      // an ID3 version 1 tag (none when every field is empty).
      L.id3tag_init(FLame);
      L.id3tag_set_title(FLame, Id3TagTitle.c_str());
      L.id3tag_set_artist(FLame, Id3TagArtist.c_str());
      L.id3tag_set_album(FLame, Id3TagAlbum.c_str());
      L.id3tag_set_year(FLame, Id3TagYear.c_str());
      L.id3tag_set_track(FLame, Id3TagTrack.c_str());
      L.id3tag_set_comment(FLame, Id3TagComment.c_str());
      const int N = L.lame_encode_flush(FLame, FOutBuffer.get(), OutBufferSize);
      if (N < 0) throw EACSException("The mp3 encoder failed (error " + std::to_string(N) + ").");
      FStream->WriteBuffer(FOutBuffer.get(), N);
      WriteInfoFrame();
    } catch (...) {
      Err = std::current_exception();
    }
  }
  // A stopped or failed job keeps the whole frames it wrote: MP3 frames carry
  // no length that could lie, so the file takes the target's place all the same.
  if (FOwnStream) {
    try {
      FOwnStream->Commit();
    } catch (...) {
      if (!Err) Err = std::current_exception();
    }
  }
  ReleaseJob(Err);
}

void TMP3Out::WriteInfoFrame() {
  const TLameEntryPoints& L = Lame();
  if (FFirstFramePos < 0 || !L.lame_get_lametag_frame) return;
  const size_t N = L.lame_get_lametag_frame(FLame, FOutBuffer.get(), OutBufferSize);
  if (N == 0 || N > static_cast<size_t>(OutBufferSize)) return;
  const int64_t End = FStream->Position();
  // The placeholder is only there once the encoder has written something.
  if (End < FFirstFramePos + static_cast<int64_t>(N)) return;
  FStream->Seek(FFirstFramePos, TSeekOrigin::soBeginning);
  FStream->WriteBuffer(FOutBuffer.get(), static_cast<int64_t>(N));
  FStream->Seek(End, TSeekOrigin::soBeginning);
}

void TMP3Out::ReleaseJob(std::exception_ptr Err) {
  if (FLame) {
    Lame().lame_close(FLame);
    FLame = nullptr;
  }
  FOutBuffer.reset();
  FOwnStream.reset();
  FStream = nullptr;
  FCarry = 0;
  if (FInputOpen) {
    FInputOpen = false;
    if (TACSInput* In = Input()) {
      try {
        In->Flush();
      } catch (...) {
        if (!Err) Err = std::current_exception();
      }
    }
  }
  if (Err) std::rethrow_exception(Err);
}
