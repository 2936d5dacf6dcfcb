#include "codecs/MPEGAudio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "codecs/MpegFrame.h"
#include "platform/Streams.h"

namespace {

// The search reads this much at a time, plus room for the frame behind the
// last candidate.
constexpr int64_t ScanWindow = 64 * 1024;
constexpr int64_t ScanOverlap = MaxMpegFrameBytes + 4;
constexpr int Id3v1Size = 128;
// "Xing", the flags, the frame count, the byte count, the table, the quality.
constexpr int XingBytes = 4 + 116;

std::mutex GPromptLock;
TMpegErrorPrompt& InstalledPrompt() {
  static TMpegErrorPrompt P;
  return P;
}

uint32_t GetBe32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) << 24 | static_cast<uint32_t>(P[1]) << 16 |
         static_cast<uint32_t>(P[2]) << 8 | P[3];
}

// At most Count characters of the UTF-8 text S.
std::string CutCharacters(const std::string& S, size_t Count) {
  size_t Chars = 0;
  for (size_t I = 0; I < S.size(); ++I) {
    // Every byte that is not a continuation byte starts a character.
    if ((static_cast<unsigned char>(S[I]) & 0xC0) != 0x80) {
      if (Chars == Count) return S.substr(0, I);
      ++Chars;
    }
  }
  return S;
}

// An ID3 version 1 field: Latin-1 bytes up to the first zero, trailing blanks
// and zeros dropped, as UTF-8.
std::string TagText(const uint8_t* P, size_t Len) {
  size_t N = 0;
  while (N < Len && P[N] != 0) ++N;
  while (N > 0 && (P[N - 1] == ' ' || P[N - 1] == 0)) --N;
  std::string S;
  for (size_t I = 0; I < N; ++I) {
    const uint8_t C = P[I];
    if (C < 0x80) {
      S += static_cast<char>(C);
    } else {
      S += static_cast<char>(0xC0 | C >> 6);
      S += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return S;
}

// Reads exactly Count bytes at Offset; false when the file ends first (a short
// read is "nothing there", never stale bytes).
bool ReadAt(TStream& F, int64_t Offset, uint8_t* Buffer, int64_t Count) {
  F.SetPosition(Offset);
  int64_t Got = 0;
  while (Got < Count) {
    const int64_t N = F.Read(Buffer + Got, Count - Got);
    if (N <= 0) return false;
    Got += N;
  }
  return true;
}

int VersionNumber(const TMpegFrameHeader& H) {
  return H.Version == 10 ? 1 : H.Version == 20 ? 2 : 3;
}

}  // namespace

void SetMpegErrorPrompt(TMpegErrorPrompt Prompt) {
  std::lock_guard<std::mutex> L(GPromptLock);
  InstalledPrompt() = std::move(Prompt);
}

TMpegErrorPrompt MpegErrorPrompt() {
  std::lock_guard<std::mutex> L(GPromptLock);
  if (InstalledPrompt()) return InstalledPrompt();
  return [](const std::string&) { return static_cast<int>(mpaIgnore); };
}

TMPEGAudio::TMPEGAudio() : OnError(MpegErrorPrompt()) {}

void TMPEGAudio::SetFileName(const std::string& Path) {
  FInfo.FileName = Path;
  if (FAutoRead) Read();
}

TMpegTime TMPEGAudio::DurationTime() const {
  TMpegTime T;
  const int64_t S = std::max<int64_t>(FInfo.Duration, 0);
  T.Hours = S / 3600;
  T.Minutes = static_cast<int>(S % 3600 / 60);
  T.Seconds = static_cast<int>(S % 60);
  return T;
}

int TMPEGAudio::AverageBitRate() const {
  if (!Valid()) return 0;
  if (FInfo.BitRate > 0) return FInfo.BitRate;
  if (FXingFrames <= 0 || FSamplesPerFrame <= 0 || FInfo.SampleRate <= 0) return 0;
  const double Seconds =
      static_cast<double>(FXingFrames) * FSamplesPerFrame / static_cast<double>(FInfo.SampleRate);
  return static_cast<int>(std::lround(static_cast<double>(FAudioBytes) * 8.0 / Seconds / 1000.0));
}

int64_t TMPEGAudio::SampleFrames() const {
  if (!Valid() || FSamplesPerFrame <= 0 || FInfo.SampleRate <= 0) return 0;
  if (FXingFrames > 0) return FXingFrames * FSamplesPerFrame;
  if (FInfoFrames > 0) return FInfoFrames * FSamplesPerFrame;
  if (FInfo.BitRate <= 0) return 0;
  // Bytes times rate fits 64 bits for any file a disk holds (2^63 / 48000).
  return FAudioBytes * 8 * FInfo.SampleRate / (static_cast<int64_t>(FInfo.BitRate) * 1000);
}

int TMPEGAudio::Read() {
  for (;;) {
    const int Result = ReadOnce();
    if (Result == 0) return 0;
    if (!OnError) return Result;
    const int Answer = OnError(FInfo.FileName);
    if (Answer != mpaRetry) return Answer;
  }
}

void TMPEGAudio::ResetRecord() {
  std::string Name = std::move(FInfo.FileName);
  FInfo = TMpegInfo{};
  FInfo.FileName = std::move(Name);
  FFirstFrame = -1;
  FSamplesPerFrame = 0;
  FAudioBytes = 0;
  FXingFrames = 0;
  FInfoFrames = 0;
}

int TMPEGAudio::ReadOnce() {
  namespace fs = std::filesystem;
  ResetRecord();
  std::error_code Ec;
  if (!FInfo.FileName.empty()) {
    const fs::path Full = fs::absolute(fs::path(FInfo.FileName), Ec);
    if (!Ec) FInfo.FileName = Full.lexically_normal().string();
  }
  const std::string BaseName = fs::path(FInfo.FileName).filename().string();
  if (FInfo.FileName.empty() || !FileExists(FInfo.FileName)) {
    FInfo.Title = CutCharacters("[not found: " + BaseName + "]", 30);
    return -1;
  }

  try {
    TFileStream F(FInfo.FileName, TFileMode::fmOpenRead);
    const int64_t Length = F.Size();
    if (Length <= 5) return 0;
    auto TakeFileFields = [&] {
      FInfo.FileLength = Length;
      const fs::file_status St = fs::status(FInfo.FileName, Ec);
      if (!Ec) FInfo.FileAttr = static_cast<uint32_t>(St.permissions());
      const fs::file_time_type T = fs::last_write_time(FInfo.FileName, Ec);
      if (!Ec)
        FInfo.FileDate = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::file_clock::to_sys(T).time_since_epoch())
                             .count();
    };
    TakeFileFields();

    // An ID3 version 2 tag in front is passed over whole: a cover picture's
    // bytes can look like frames.
    uint8_t Head[10];
    int64_t Start = 0;
    if (ReadAt(F, 0, Head, sizeof Head))
      Start = static_cast<int64_t>(Id3v2TagSize(Head, sizeof Head));
    const int64_t Limit =
        FScanLimit > 0 ? std::min(Length, Start + FScanLimit) : Length;  // last start looked at

    std::vector<uint8_t> Buf(static_cast<size_t>(ScanWindow + ScanOverlap));
    TMpegFrameHeader First, Second;
    int64_t Found = -1;
    for (int64_t Pos = Start; Found < 0 && Pos < Length && Pos <= Limit;) {
      const int64_t N = std::min<int64_t>(static_cast<int64_t>(Buf.size()), Length - Pos);
      if (!ReadAt(F, Pos, Buf.data(), N)) break;
      const bool AtEnd = Pos + N == Length;
      // Candidates whose successor may lie past this window wait for the next.
      const int64_t Last = AtEnd ? N : N - ScanOverlap;
      for (int64_t I = 0; I < Last && Pos + I <= Limit; ++I) {
        if (Buf[static_cast<size_t>(I)] != 0xFF || I + 4 > N) continue;
        TMpegFrameHeader A;
        if (!ParseMpegFrameHeader(&Buf[static_cast<size_t>(I)], A) || A.BitRate <= 0) continue;
        // The successor's four bytes must all be in the file.
        const int64_t Next = I + A.FrameBytes;
        if (Next + 4 > N) continue;
        TMpegFrameHeader B;
        if (!ParseMpegFrameHeader(&Buf[static_cast<size_t>(Next)], B) || B.BitRate <= 0 ||
            !SameMpegStream(A, B))
          continue;
        Found = Pos + I;
        First = A;
        Second = B;
        break;
      }
      Pos += Last;
    }
    if (Found < 0) return -1;

    // The record holds the second header, as read.
    FInfo.Version = VersionNumber(Second);
    FInfo.Layer = Second.Layer;
    FInfo.SampleRate = Second.SampleRate;
    FInfo.BitRate = Second.BitRate / 1000;
    FInfo.ChannelMode = Second.ChannelMode;
    FInfo.ErrorProtection = Second.Protected ? 1 : 0;
    FInfo.Padding = Second.Padding ? 1 : 0;
    FInfo.Copyright = Second.Copyright ? 1 : 0;
    FInfo.Original = Second.Original ? 1 : 0;
    FInfo.FrameLength = Second.FrameBytes;
    FFirstFrame = Found;
    FSamplesPerFrame = First.SamplesPerFrame;

    // The tag at the end.
    bool HasTag = false;
    if (Length > Id3v1Size) {
      uint8_t T[Id3v1Size];
      if (ReadAt(F, Length - Id3v1Size, T, Id3v1Size) && std::memcmp(T, "TAG", 3) == 0) {
        HasTag = true;
        FInfo.Header = "TAG";
        FInfo.Title = TagText(T + 3, 30);
        FInfo.Artist = TagText(T + 33, 30);
        FInfo.Album = TagText(T + 63, 30);
        FInfo.Year = TagText(T + 93, 4);
        FInfo.Comment = TagText(T + 97, 30);
        // A zero before the last byte of the comment marks that byte as the
        // track number.
        FInfo.Track = T[125] == 0 ? T[126] : 0;
        FInfo.Genre = T[127];
      }
    }
    if (!HasTag) FInfo.Title = CutCharacters(BaseName, 30);
    FAudioBytes = std::max<int64_t>(0, Length - Found - (HasTag ? Id3v1Size : 0));

    // A Xing header in the first frame counts the frames of a variable-rate
    // stream.
    uint8_t X[XingBytes];
    const int64_t XingAt = Found + XingTagOffset(First);
    if (First.Layer == 3 && XingAt + 4 <= Length && ReadAt(F, XingAt, X, 4) &&
        std::memcmp(X, "Xing", 4) == 0) {
      const int64_t Avail = std::min<int64_t>(XingBytes, Length - XingAt);
      const bool Whole = Avail >= 12 && ReadAt(F, XingAt, X, Avail);
      const int64_t Frames = Whole && (GetBe32(X + 4) & 1) ? GetBe32(X + 8) : 0;
      if (Frames == 0) {
        // Without a frame count there is neither a play time nor an average
        // frame: the read fails with nothing found.
        ResetRecord();
        TakeFileFields();
        return -1;
      }
      FXingFrames = Frames;
      FInfo.BitRate = -1;
      FInfo.Duration = (Frames * First.SamplesPerFrame + First.SampleRate / 2) / First.SampleRate;
      FInfo.FrameLength = static_cast<int>(std::min<int64_t>(FAudioBytes / Frames, INT32_MAX));
    } else {
      FInfo.Duration = FAudioBytes * 8 / (static_cast<int64_t>(FInfo.BitRate) * 1000);
      // An encoder's "Info" frame in a constant-rate stream: the play time
      // stays the bytes over the rate, but the frame count it holds is the
      // exact length in samples (the frame itself is silent).
      if (First.Layer == 3 && XingAt + 12 <= Length && ReadAt(F, XingAt, X, 12) &&
          std::memcmp(X, "Info", 4) == 0 && (GetBe32(X + 4) & 1))
        FInfoFrames = GetBe32(X + 8);
    }
    return 0;
  } catch (const EStreamError&) {
    return -1;
  }
}
