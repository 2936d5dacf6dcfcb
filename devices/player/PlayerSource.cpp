#include "devices/player/PlayerSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "codecs/ACS_MAD.h"
#include "codecs/CodecRegistry.h"
#include "codecs/MPEGAudio.h"
#include "devices/player/AudioPlayerApi.h"
#include "engine/ACS_Classes.h"
#include "platform/Streams.h"

namespace player {

namespace {

const char* MimeTypeOf(const std::string& Extension) {
  if (Extension == ".mp3") return "audio/mpeg";
  if (Extension == ".wav") return "audio/x-wav";
  if (Extension == ".ogg") return "audio/ogg";
  if (Extension == ".flac") return "audio/flac";
  if (Extension == ".ape") return "audio/x-ape";
  return "application/octet-stream";
}

// The reasons a file cannot even be read, before its contents are looked at.
void CheckReadable(const std::string& Name) {
  struct stat St;
  if (::stat(Name.c_str(), &St) != 0) {
    const int E = errno;
    if (E == ENOENT || E == ENOTDIR)
      throw EOpenError(XA_ERROR_NO_SUCH_FILE, "Cannot open \"" + Name + "\": no such file");
    throw EOpenError(E == EACCES ? XA_ERROR_PERMISSION_DENIED : XA_ERROR_OPEN_FAILED,
                     "Cannot open \"" + Name + "\": " + std::strerror(E));
  }
  if (S_ISDIR(St.st_mode))
    throw EOpenError(XA_ERROR_OPEN_FAILED, "Cannot open \"" + Name + "\": it is a folder");
  const int Fd = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    const int E = errno;
    throw EOpenError(E == EACCES ? XA_ERROR_PERMISSION_DENIED : XA_ERROR_OPEN_FAILED,
                     "Cannot open \"" + Name + "\": " + std::strerror(E));
  }
  ::close(Fd);
}

EOpenError NotAudio(const std::string& Name) {
  return EOpenError(XA_ERROR_INVALID_FORMAT,
                    "Cannot play \"" + Name + "\": not an audio file of a supported type");
}

// ---------------------------------------------------------------- engine sources

// WAV, Ogg Vorbis, FLAC, APE: the engine's file source of the type, started
// at a sample frame for each delivery.
class TEngineSource final : public TPlayerSource {
 public:
  TEngineSource(const std::string& Name, const TCodecEntry& Codec) {
    FIn.reset(Codec.MakeSource(nullptr, Name, TJobOptions()));
    FFile = dynamic_cast<TACSFileIn*>(FIn.get());
    if (!FFile || !FFile->Valid()) throw NotAudio(Name);
    Format.SampleRate = FFile->InSampleRate();
    Format.Channels = FFile->InChannels();
    Format.BitsPerSample = FFile->InBitsPerSample();
    FileBits = Format.BitsPerSample;
    if (!Format.Supported()) throw NotAudio(Name);
    const int64_t Frames = FFile->SampleCount();
    DurationMs = Frames * 1000 / Format.SampleRate;
    if (DurationMs > 0) {
      struct stat St;
      if (::stat(Name.c_str(), &St) == 0)
        BitRate = static_cast<int>(static_cast<int64_t>(St.st_size) * 8 / DurationMs);
    }
  }
  ~TEngineSource() override { Stop(); }

  void Start(int64_t Ms) override {
    Stop();
    const int64_t Frame = Ms * Format.SampleRate / 1000;
    FFile->SetStartSample(static_cast<int>(std::min<int64_t>(Frame, INT32_MAX)));
    try {
      FFile->Init();
    } catch (const std::exception& E) {
      throw EOpenError(XA_ERROR_READ_FAILED, E.what());
    }
  }

  int Read(uint8_t* Buffer, int Count) override {
    if (!FFile->Busy()) return 0;
    return FFile->GetData(Buffer, Count);
  }

  void Stop() override {
    if (FFile->Busy()) FFile->Reset();
  }

 private:
  TOwned<TACSInput> FIn;
  TACSFileIn* FFile = nullptr;
};

// ---------------------------------------------------------------- MP3

// The decoder's WAV image travels through this bounded buffer: the decoder's
// worker writes (and waits while it is full), the player's thread reads (and
// waits while it is empty). It cannot seek, so the decoder leaves its header
// as it first wrote it.
class TPcmPipe final : public TStream {
 public:
  int64_t Read(void* Buffer, int64_t Count) override {
    std::unique_lock<std::mutex> L(FLock);
    FChanged.wait(L, [this] { return !FData.empty() || FEnded || FClosed; });
    const size_t N = std::min<size_t>(static_cast<size_t>(Count), FData.size());
    std::copy_n(FData.begin(), N, static_cast<uint8_t*>(Buffer));
    FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(N));
    FChanged.notify_all();
    return static_cast<int64_t>(N);
  }

  int64_t Write(const void* Buffer, int64_t Count) override {
    const auto* P = static_cast<const uint8_t*>(Buffer);
    int64_t Done = 0;
    std::unique_lock<std::mutex> L(FLock);
    while (Done < Count) {
      FChanged.wait(L, [this] { return FData.size() < kCapacity || FClosed; });
      if (FClosed) throw EWriteError("The playback was stopped");
      const size_t N =
          std::min<size_t>(static_cast<size_t>(Count - Done), kCapacity - FData.size());
      FData.insert(FData.end(), P + Done, P + Done + N);
      Done += static_cast<int64_t>(N);
      FChanged.notify_all();
    }
    return Done;
  }

  int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("A pipe cannot seek"); }
  int64_t Size() override { throw EStreamError("A pipe has no size"); }
  void SetSize(int64_t) override { throw EStreamError("A pipe has no size"); }

  // The decoder's end: Reason is empty after a normal end.
  void EndWriting(const std::string& Reason) {
    std::lock_guard<std::mutex> L(FLock);
    FEnded = true;
    FReason = Reason;
    FChanged.notify_all();
  }
  // The reader's end: a writer waiting for room gives up.
  void Close() {
    std::lock_guard<std::mutex> L(FLock);
    FClosed = true;
    FChanged.notify_all();
  }
  std::string Reason() {
    std::lock_guard<std::mutex> L(FLock);
    return FReason;
  }

 private:
  static constexpr size_t kCapacity = 256 * 1024;
  std::mutex FLock;
  std::condition_variable FChanged;
  // Guarded by FLock.
  std::vector<uint8_t> FData;
  bool FEnded = false;
  bool FClosed = false;
  std::string FReason;
};

// MP3 through the program's MP3 decoder component, which runs on a worker of
// its own and writes into a pipe; a delivery from Ms starts the decoder at
// the matching byte of the file (exact for constant bit rates).
class TMp3Source final : public TPlayerSource {
 public:
  explicit TMp3Source(const std::string& Name) : FName(Name) {
    TMPEGAudio Probe;
    // A file that cannot be read is said by the throw below, not asked about.
    Probe.OnError = [](const std::string&) { return static_cast<int>(mpaIgnore); };
    Probe.SetAutoRead(false);
    Probe.SetFileName(Name);
    if (Probe.Read() != 0 || !Probe.Valid() || Probe.Info().Layer != 3) throw NotAudio(Name);
    Format.SampleRate = Probe.Info().SampleRate;
    Format.Channels = Probe.Info().ChannelMode == 3 ? 1 : 2;
    Format.BitsPerSample = 16;
    BitRate = Probe.AverageBitRate();
    if (Format.SampleRate > 0) DurationMs = Probe.SampleFrames() * 1000 / Format.SampleRate;
    // The decoder component needs its library: a missing one is said now.
    try {
      TOwned<TMP3ToWav> Check(new TMP3ToWav(nullptr));
    } catch (const std::exception& E) {
      throw EOpenError(XA_ERROR_OPEN_FAILED, E.what());
    }
  }
  ~TMp3Source() override { Stop(); }

  void Start(int64_t Ms) override {
    Stop();
    try {
      FIn = std::make_unique<TFileStream>(FName, TFileMode::fmOpenRead);
      if (Ms > 0 && DurationMs > 0)
        FIn->SetPosition(std::min<int64_t>(FIn->Size(), FIn->Size() * Ms / DurationMs));
    } catch (const EStreamError& E) {
      throw EOpenError(XA_ERROR_READ_FAILED, E.what());
    }
    FPipe = std::make_unique<TPcmPipe>();
    TPcmPipe* Pipe = FPipe.get();
    FDecoder.reset(new TMP3ToWav(nullptr));
    FDecoder->SetInputStream(FIn.get());
    FDecoder->SetOutputStream(Pipe);
    FDecoder->OnDone = [Pipe](TComponent*, bool) { Pipe->EndWriting(""); };
    FDecoder->OnThreadException = [Pipe](TComponent*, const std::exception& E) {
      Pipe->EndWriting(E.what());
    };
    FDecoder->Run();
    // The image's header says what the first decoded frame holds.
    uint8_t Header[44];
    int64_t Got = 0;
    while (Got < 44) {
      const int64_t N = FPipe->Read(Header + Got, 44 - Got);
      if (N <= 0) break;
      Got += N;
    }
    if (Got < 44) {
      const std::string Why = FPipe->Reason();
      Stop();
      if (Ms > 0) return;  // a start past the last frame: nothing left to play
      throw EOpenError(XA_ERROR_READ_FAILED,
                       "Cannot play \"" + FName + "\": " + (Why.empty() ? "no audio frame" : Why));
    }
    Format.Channels = Header[22];
    Format.SampleRate = Header[24] | (Header[25] << 8) | (Header[26] << 16) | (Header[27] << 24);
  }

  int Read(uint8_t* Buffer, int Count) override {
    if (!FPipe) return 0;
    const int Frame = Format.BlockAlign();
    int Got = 0;
    // Whole frames only: the pipe may hand over a write's bytes in pieces.
    while (Got < Count) {
      const int64_t N = FPipe->Read(Buffer + Got, Count - Got);
      if (N <= 0) break;
      Got += static_cast<int>(N);
      if (Got % Frame == 0) break;
    }
    if (Got == 0) {
      const std::string Why = FPipe->Reason();
      if (!Why.empty()) throw std::runtime_error(Why);
    }
    return Got - Got % Frame;
  }

  void Stop() override {
    if (FPipe) FPipe->Close();
    // Destroying the decoder stops it at its next frame and waits for it.
    FDecoder.reset();
    FPipe.reset();
    FIn.reset();
  }

 private:
  std::string FName;
  std::unique_ptr<TFileStream> FIn;
  std::unique_ptr<TPcmPipe> FPipe;
  TOwned<TMP3ToWav> FDecoder;
};

}  // namespace

std::unique_ptr<TPlayerSource> OpenPlayerSource(const std::string& Name) {
  if (Name.empty()) throw EOpenError(XA_ERROR_INVALID_PARAMETERS, "No file name was given");
  CheckReadable(Name);
  const std::string Extension = LowerExtension(Name);
  const TCodecEntry* Codec = FindCodecFor(Name);
  std::unique_ptr<TPlayerSource> S;
  try {
    if (Extension == ".mp3")
      S = std::make_unique<TMp3Source>(Name);
    else if (Codec && Codec->MakeSource)
      S = std::make_unique<TEngineSource>(Name, *Codec);
    else
      throw NotAudio(Name);
  } catch (const EOpenError&) {
    throw;
  } catch (const std::exception& E) {
    // A codec library that is missing, a file that cannot be read.
    throw EOpenError(XA_ERROR_OPEN_FAILED, "Cannot play \"" + Name + "\": " + E.what());
  }
  S->MimeType = MimeTypeOf(Extension);
  return S;
}

}  // namespace player
