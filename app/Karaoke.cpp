#include "app/Karaoke.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "codecs/CodecRegistry.h"
#include "platform/SoundCard.h"

TKaraokeWorkFiles TKaraokeWorkFiles::In(const std::string& Folder) {
  TKaraokeWorkFiles F;
  F.Record = Folder + kRecordWorkFile;
  F.Convert = Folder + kConvertWorkFile;
  return F;
}

TKaraokeSong ProbeKaraokeSong(const std::string& Name) {
  TKaraokeSong S;
  const std::string Extension = LowerExtension(Name);
  if (Extension != ".mp3" && Extension != ".wav") {
    S.Reason = "The background music must be an MP3 or WAV file: " + Name;
    return S;
  }
  S.Mp3 = Extension == ".mp3";
  TFileInfo Info;
  try {
    if (const TCodecEntry* Codec = FindCodecFor(Name); Codec && Codec->Info)
      Info = Codec->Info(Name);
  } catch (const std::exception& E) {
    S.Reason = E.what();
    return S;
  }
  // The length must be known: the page shows it, the lyrics scroll with it,
  // and an MP3 without frames cannot be decoded for the mix.
  if (!Info.Valid || Info.Samples <= 0 || Info.Rate <= 0 || Info.Channels < 1 ||
      Info.Channels > 2 || Info.Seconds < 0 || Info.Seconds > INT_MAX) {
    S.Reason = "The length of the background music cannot be read: " + Name;
    return S;
  }
  S.Usable = true;
  S.Rate = Info.Rate;
  S.Channels = Info.Channels;
  S.Seconds = static_cast<int>(Info.Seconds);
  return S;
}

bool SameFile(const std::string& A, const std::string& B) {
  struct stat SA {
  }, SB{};
  if (::stat(A.c_str(), &SA) == 0 && ::stat(B.c_str(), &SB) == 0)
    return SA.st_dev == SB.st_dev && SA.st_ino == SB.st_ino;
  std::error_code E1, E2;
  const auto PA = std::filesystem::weakly_canonical(std::filesystem::absolute(A, E1), E1);
  const auto PB = std::filesystem::weakly_canonical(std::filesystem::absolute(B, E2), E2);
  if (E1 || E2) return A == B;
  return PA == PB;
}

std::string KaraokeOutputProblem(const std::string& Song, const std::string& Output,
                                 const TKaraokeWorkFiles& Work) {
  if (SameFile(Output, Song)) return "The output cannot be the background music itself.";
  if (SameFile(Output, Work.Record) || SameFile(Output, Work.Convert))
    return "The output cannot be one of the working files (" + std::string(kRecordWorkFile) + ", " +
           kConvertWorkFile + ").";
  return {};
}

bool TWorkFileLock::Acquire(const TKaraokeWorkFiles& Files) {
  Release();
  for (const std::string* Name : {&Files.Record, &Files.Convert}) {
    // No O_TRUNC: the lock must never spoil what another run is writing.
    const int Fd = ::open(Name->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0 || ::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
      if (Fd >= 0) ::close(Fd);
      Release();
      return false;
    }
    FFds.push_back(Fd);
  }
  return true;
}

void TWorkFileLock::Release() {
  for (int Fd : FFds) ::close(Fd);  // closing lets the lock go
  FFds.clear();
}

TACSInput* TLeadTrim::CheckedInput() const {
  TACSInput* In = Input();
  if (!In) throw EACSException("Input is not assigned.");
  return In;
}

int TLeadTrim::InBitsPerSample() { return CheckedInput()->InBitsPerSample(); }
int TLeadTrim::InChannels() { return CheckedInput()->InChannels(); }
int TLeadTrim::InSampleRate() { return CheckedInput()->InSampleRate(); }

void TLeadTrim::Init() {
  TACSInput* In = CheckedInput();
  In->Init();
  const int64_t Frame = std::max<int64_t>(int64_t{In->InChannels()} * In->InBitsPerSample() / 8, 1);
  FSilence = In->InBitsPerSample() == 8 ? 128 : 0;
  FToSkip = FShiftFrames > 0 ? FShiftFrames * Frame : 0;
  FToPad = FShiftFrames < 0 ? -FShiftFrames * Frame : 0;
  const int64_t Whole = In->Size();
  FSize = Whole < 0 ? -1 : std::max<int64_t>(Whole - FToSkip, 0) + FToPad;
  FPosition = 0;
  FBusy = true;
}

int TLeadTrim::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (BufferSize <= 0) return 0;
  if (FToPad > 0) {
    const int N = static_cast<int>(std::min<int64_t>(FToPad, BufferSize));
    std::memset(Buffer, FSilence, static_cast<size_t>(N));
    FToPad -= N;
    FPosition += N;
    return N;
  }
  while (FToSkip > 0) {
    const int N = ReadInput(Buffer, static_cast<int>(std::min<int64_t>(FToSkip, BufferSize)));
    if (N <= 0) return 0;
    FToSkip -= N;
  }
  const int N = ReadInput(Buffer, BufferSize);
  if (N > 0) FPosition += N;
  return N;
}

void TLeadTrim::Flush() {
  if (TACSInput* In = Input()) In->Flush();
  FBusy = false;
}

namespace {

int64_t MedianOf(std::vector<int64_t> V) {
  if (V.empty()) return -1;
  std::nth_element(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(V.size() / 2), V.end());
  return V[V.size() / 2];
}

}  // namespace

void TKaraokeLatency::Sample() {
  TStreamClock Play, Capture;
  if (!ReadStreamClocks(Play, Capture)) return;
  // Both clocks run in real time: where each stands at one and the same
  // moment, the capture's clock read later being taken back to the
  // playback's reading.
  FOffsets.push_back(Capture.PositionUs - (Capture.AtUs - Play.AtUs) - Play.PositionUs);
  FPlayback.push_back(Play.LatencyUs);
  FCapture.push_back(Capture.LatencyUs);
  FPlaybackDevice.push_back(Play.DeviceUs);
  FCaptureDevice.push_back(Capture.DeviceUs);
  PlaybackUs = MedianOf(FPlayback);
  CaptureUs = MedianOf(FCapture);
  PlaybackDeviceUs = MedianOf(FPlaybackDevice);
  CaptureDeviceUs = MedianOf(FCaptureDevice);
}

int64_t TKaraokeLatency::OffsetUs() const { return FOffsets.empty() ? 0 : MedianOf(FOffsets); }

int64_t TKaraokeLatency::ShiftFrames(int Rate) const {
  if (Rate <= 0) return 0;
  return std::llround(static_cast<double>(OffsetUs()) * Rate / 1e6);
}

void TKaraokeLatency::Clear() {
  FOffsets.clear();
  FPlayback.clear();
  FCapture.clear();
  FPlaybackDevice.clear();
  FCaptureDevice.clear();
  PlaybackUs = CaptureUs = PlaybackDeviceUs = CaptureDeviceUs = -1;
}

struct TKaraokeLatencyProbe::TState {
  TKaraokeLatency& Into;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stop = false;  // guarded by Lock
  std::thread Thread;
  explicit TState(TKaraokeLatency& L) : Into(L) {}
};

TKaraokeLatencyProbe::TKaraokeLatencyProbe(TKaraokeLatency& Into)
    : FState(std::make_unique<TState>(Into)) {
  TState* S = FState.get();
  S->Thread = std::thread([S] {
    std::unique_lock<std::mutex> L(S->Lock);
    while (!S->Wake.wait_for(L, std::chrono::milliseconds(50), [S] { return S->Stop; }))
      S->Into.Sample();
  });
}

TKaraokeLatencyProbe::~TKaraokeLatencyProbe() { End(); }

bool TKaraokeLatencyProbe::OffsetUs(int64_t& Us) const {
  std::lock_guard<std::mutex> L(FState->Lock);
  if (!FState->Into.Measured()) return false;
  Us = FState->Into.OffsetUs();
  return true;
}

void TKaraokeLatencyProbe::End() {
  if (!FState) return;
  {
    std::lock_guard<std::mutex> L(FState->Lock);
    FState->Stop = true;
  }
  FState->Wake.notify_all();
  if (FState->Thread.joinable()) FState->Thread.join();
}

// ---------------------------------------------------------------- lyrics

namespace {

// The seconds of the time tag whose text starts at P ("mm:ss.xx]..."); false
// when it is not one. Only what the tag can mean is read: no signs, no
// exponents, no "inf" or "nan", and no more minutes than a song can have.
bool LyricTagSeconds(const char* P, double& Seconds) {
  long Minutes = 0;
  int Digits = 0;
  for (; *P >= '0' && *P <= '9'; ++P, ++Digits) {
    if (Digits == 6) return false;
    Minutes = Minutes * 10 + (*P - '0');
  }
  if (Digits == 0 || *P++ != ':' || *P < '0' || *P > '9') return false;
  double S = 0;
  for (Digits = 0; *P >= '0' && *P <= '9'; ++P, ++Digits) {
    if (Digits == 6) return false;
    S = S * 10 + (*P - '0');
  }
  if (*P == '.') {
    double Unit = 0.1;
    for (++P; *P >= '0' && *P <= '9'; ++P, Unit /= 10) S += (*P - '0') * Unit;
  }
  Seconds = static_cast<double>(Minutes) * 60 + S;
  return true;
}

}  // namespace

std::vector<TLyricLine> ParseLyrics(const std::string& Text) {
  std::vector<TLyricLine> Lines;
  size_t At = 0;
  while (At < Text.size()) {
    const size_t End = std::min(Text.find('\n', At), Text.size());
    std::string L = Text.substr(At, End - At);
    At = End + 1;
    if (!L.empty() && L.back() == '\r') L.pop_back();
    std::vector<double> Times;
    size_t P = 0;
    while (P < L.size() && L[P] == '[') {
      const size_t Close = L.find(']', P);
      if (Close == std::string::npos) break;
      double S = 0;
      // The tag ends at its bracket: what follows cannot be read into it.
      if (LyricTagSeconds(std::string(L, P + 1, Close - P - 1).c_str(), S)) Times.push_back(S);
      P = Close + 1;
    }
    const std::string Words = L.substr(P);
    if (Times.empty()) {
      if (P == 0 && !Words.empty()) Lines.push_back({0, Words});
      continue;
    }
    for (double T : Times) Lines.push_back({T, Words});
  }
  std::stable_sort(Lines.begin(), Lines.end(),
                   [](const TLyricLine& A, const TLyricLine& B) { return A.Seconds < B.Seconds; });
  return Lines;
}
