#include "app/CdRip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/FileLocks.h"
#include "app/RipUtility.h"
#include "codecs/ACS_LAME.h"
#include "engine/ACS_AudioMix.h"
#include "platform/CdText.h"
#include "wave/ACS_Wave.h"

const char* const kRipDone = "Rip done.";
const char* const kRipStopped = "Rip stopped.";
const char* const kRipDiscChanged =
    "The disc has changed since it was listed; please refresh the list first!";
const char* const kRipReadError = "Read error";

namespace {

constexpr int kSamplesPerFrame = 588;  // stereo frames per sector
constexpr int64_t kArSkip = 5 * kSamplesPerFrame;

bool EqualNoCase(char A, char B) {
  return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
}

bool Exists(const std::string& Path) {
  struct stat St;
  return ::lstat(Path.c_str(), &St) == 0;
}

std::string Hex8(uint32_t V) {
  char B[16];
  std::snprintf(B, sizeof B, "%08X", V);
  return B;
}

std::string FolderOf(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  return Slash == std::string::npos ? std::string("./") : Path.substr(0, Slash + 1);
}

std::string NameOf(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

void PutLe32(uint8_t* P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

// The 44-byte header of a ripped file with DataBytes of audio.
void RipHeader(uint8_t* H, uint32_t DataBytes) {
  std::memcpy(H, "RIFF", 4);
  PutLe32(H + 4, DataBytes + 36);
  std::memcpy(H + 8, "WAVEfmt ", 8);
  PutLe32(H + 16, 16);
  H[20] = 1, H[21] = 0;  // PCM
  H[22] = 2, H[23] = 0;  // channels
  PutLe32(H + 24, 44100);
  PutLe32(H + 28, 176400);
  H[32] = 4, H[33] = 0;   // block alignment
  H[34] = 16, H[35] = 0;  // bits per sample
  std::memcpy(H + 36, "data", 4);
  PutLe32(H + 40, DataBytes);
}

bool WriteAll(int Fd, const uint8_t* P, size_t N) {
  while (N > 0) {
    const ssize_t W = ::write(Fd, P, N);
    if (W < 0 && errno == EINTR) continue;
    if (W <= 0) return false;
    P += W;
    N -= static_cast<size_t>(W);
  }
  return true;
}

// The index of the lead-out entry of Toc.
int LeadOutEntry(const TableOfContents& Toc) { return Toc.LastTrack - Toc.FirstTrack + 1; }

// Whether the buffer a read left holds what was asked: Asked sectors or
// fewer (at least one), all of them valid, inside the data area.
bool BufferAddsUp(const TrackBuffer& B, int Asked) {
  if (B.NumFrames < 1 || B.NumFrames > Asked) return false;
  if (B.StartOffset < 0 || B.Len != B.NumFrames * kCdFrameBytes) return false;
  return int64_t{B.StartOffset} + B.Len <= B.MaxLen;
}

const uint32_t* CrcTable() {
  static const auto* T = [] {
    auto* R = new uint32_t[256];
    for (uint32_t N = 0; N < 256; ++N) {
      uint32_t C = N;
      for (int K = 0; K < 8; ++K) C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
      R[N] = C;
    }
    return R;
  }();
  return T;
}

}  // namespace

// ---------------------------------------------------------------- names

std::string RipTrackName(const std::string& RowName) {
  static const std::string Suffix = " - Audio Track";
  const auto It =
      std::search(RowName.begin(), RowName.end(), Suffix.begin(), Suffix.end(), EqualNoCase);
  if (It == RowName.end()) return RowName;
  std::string R = RowName;
  R.erase(static_cast<size_t>(It - RowName.begin()), Suffix.size());
  return R;
}

std::string RipSafeStem(const std::string& Title, int TrackNumber) {
  std::string R = Title;
  for (char& C : R) {
    const auto U = static_cast<unsigned char>(C);
    if (C == '/' || U < 0x20 || U == 0x7F) C = '_';
  }
  if (R.find_first_not_of('.') == std::string::npos) {
    char B[16];
    std::snprintf(B, sizeof B, "Track-%.2d", TrackNumber);
    R = B;
  }
  return R;
}

std::string TRipNames::Take(const std::string& Stem, const std::string& Extension) {
  for (int N = 1;; ++N) {
    const std::string Suffix = (N == 1 ? "" : " (" + std::to_string(N) + ")") + Extension;
    const size_t Room = kRipNameMax > Suffix.size() ? kRipNameMax - Suffix.size() : 0;
    std::string Cut = Stem.substr(0, Utf8PrefixLength(Stem, Room));
    // A cut that leaves dots only would name a hidden file or a folder.
    if (Cut.find_first_not_of('.') == std::string::npos) Cut = "Track";
    std::string Name = Cut + Suffix;
    if (FUsed.insert(Name).second) return Name;
  }
}

std::string ReplaceExtension(const std::string& Path, const std::string& Extension) {
  const size_t Slash = Path.rfind('/');
  const size_t Dot = Path.rfind('.');
  const size_t NameStart = Slash == std::string::npos ? 0 : Slash + 1;
  if (Dot == std::string::npos || Dot <= NameStart) return Path + Extension;
  return Path.substr(0, Dot) + Extension;
}

// ---------------------------------------------------------------- checksums

TRipChecksums::TRipChecksums(int64_t Frames, bool First, bool Last)
    : FFrom(First ? kArSkip : 1), FTo(Last ? Frames - kArSkip : Frames) {}

void TRipChecksums::Add(const uint8_t* Data, size_t Size) {
  const uint32_t* T = CrcTable();
  for (size_t I = 0; I < Size; ++I) {
    FCrc = T[(FCrc ^ Data[I]) & 0xFF] ^ (FCrc >> 8);
    FPart[FPartSize++] = Data[I];
    if (FPartSize < 4) continue;
    FPartSize = 0;
    const int64_t M = ++FPosition;
    if (M < FFrom || M > FTo) continue;
    const uint32_t S = static_cast<uint32_t>(FPart[0]) | static_cast<uint32_t>(FPart[1]) << 8 |
                       static_cast<uint32_t>(FPart[2]) << 16 |
                       static_cast<uint32_t>(FPart[3]) << 24;
    const uint64_t P = static_cast<uint64_t>(S) * static_cast<uint64_t>(M);
    FV1 += static_cast<uint32_t>(P);
    FV2 += static_cast<uint32_t>(P) + static_cast<uint32_t>(P >> 32);
  }
}

// ---------------------------------------------------------------- one track

int32_t RipTrackFrames(const TableOfContents& Toc, int K) {
  const std::vector<TCdTrackRow> Rows = CdTrackRows(Toc);
  return K >= 0 && K < static_cast<int>(Rows.size()) ? Rows[static_cast<size_t>(K)].Frames : 0;
}

uint32_t RipCddbDiscId(const TableOfContents& Toc) {
  const int Count = LeadOutEntry(Toc);
  uint32_t Sum = 0;
  for (int K = 0; K < Count; ++K)
    for (int S = (TocAddress(Toc.Entries[K]) + 150) / 75; S > 0; S /= 10) Sum += S % 10;
  const int Length =
      (TocAddress(Toc.Entries[Count]) + 150) / 75 - (TocAddress(Toc.Entries[0]) + 150) / 75;
  return (Sum % 255) << 24 | static_cast<uint32_t>(Length) << 8 | static_cast<uint32_t>(Count);
}

TRipTrackResult RipCdTrack(TCDHandle Handle, const TableOfContents& Toc, int K, int32_t Frames,
                           const std::string& File, bool Checked,
                           const std::function<void(int)>& Progress) {
  TRipTrackResult R;
  R.Checked = Checked;
  const int Count = LeadOutEntry(Toc);
  if (K < 0 || K >= Count) {
    R.Error = "No such track";
    return R;
  }
  if (IsDataTrack(Toc.Entries[K].AdrControl)) {
    R.Error = "Data track";
    return R;
  }
  const int32_t Start = TocAddress(Toc.Entries[K]);
  const int32_t LeadOut = TocAddress(Toc.Entries[Count]);
  Frames = std::min(Frames, LeadOut - Start);
  if (Frames <= 0) {
    R.Error = "Empty track";
    return R;
  }
  const int Fd = ::open(File.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) {
    R.Error = std::strerror(errno);
    return R;
  }
  const auto Fail = [&](std::string Why) {
    ::close(Fd);
    ::unlink(File.c_str());
    R.Error = std::move(Why);
    R.Ok = false;
    return R;
  };

  const uint32_t Expected = static_cast<uint32_t>(Frames) * kCdFrameBytes;
  uint8_t Header[44];
  RipHeader(Header, Expected);
  if (!WriteAll(Fd, Header, sizeof Header)) return Fail(std::strerror(errno));

  TTrackBufferPtr Buffer = NewTrackBuffer(kRipChunkFrames);
  TRipChecksums Sums(int64_t{Frames} * kSamplesPerFrame, Toc.Entries[K].TrackNumber == 1,
                     K == Count - 1 || IsDataTrack(Toc.Entries[K + 1].AdrControl));
  const auto Read = [Handle, Checked, &R](TrackBuffer& B, int32_t At, int Chunk) {
    const int32_t Room = B.MaxLen;
    std::memset(&B, 0, sizeof B);
    B.MaxLen = Room;
    B.StartFrame = At;
    B.NumFrames = Chunk;
    int Repairs = 0;
    const uint32_t Done = Checked ? ReadCDAudioChecked(Handle, &B, kRipSectorRetries, &Repairs)
                                  : ReadCDAudioLBA(Handle, &B);
    R.Retries += Repairs;
    return Done == 1 && B.Status == 0 && BufferAddsUp(B, Chunk);
  };

  int32_t At = Start;
  int32_t Remaining = Frames;
  uint32_t Written = 0;
  int LastPercent = -1;
  while (Remaining > 0) {
    const int Chunk = std::min(Remaining, kRipChunkFrames);
    bool Good = false;
    for (int Attempt = 0; Attempt < kRipReadAttempts && !Good; ++Attempt) {
      if (Attempt > 0) ++R.Retries;
      Good = Read(*Buffer, At, Chunk);
    }
    if (!Good) return Fail(kRipReadError);
    const uint8_t* Data = TrackBufferData(Buffer.get()) + Buffer->StartOffset;
    if (!WriteAll(Fd, Data, static_cast<size_t>(Buffer->Len))) return Fail(std::strerror(errno));
    Sums.Add(Data, static_cast<size_t>(Buffer->Len));
    Written += static_cast<uint32_t>(Buffer->Len);
    At += Buffer->NumFrames;
    Remaining -= Buffer->NumFrames;
    const int Percent = static_cast<int>(int64_t{Frames - Remaining} * 100 / Frames);
    if (Progress && Percent != LastPercent) Progress(Percent);
    LastPercent = Percent;
  }
  // The header says what was written.
  RipHeader(Header, Written);
  if (::pwrite(Fd, Header, sizeof Header, 0) != static_cast<ssize_t>(sizeof Header) ||
      ::fsync(Fd) != 0)
    return Fail(std::strerror(errno));
  if (::close(Fd) != 0) {
    ::unlink(File.c_str());
    R.Error = std::strerror(errno);
    return R;
  }
  R.Ok = true;
  R.Frames = Written / kCdFrameBytes;
  R.Crc32 = Sums.Crc32();
  R.ArV1 = Sums.AccurateRipV1();
  R.ArV2 = Sums.AccurateRipV2();
  return R;
}

// ---------------------------------------------------------------- cue sheet

std::string CueTime(int64_t Frames) {
  char B[32];
  std::snprintf(B, sizeof B, "%02lld:%02lld:%02lld", static_cast<long long>(Frames / 4500),
                static_cast<long long>(Frames / 75 % 60), static_cast<long long>(Frames % 75));
  return B;
}

namespace {
// A cue sheet's quoted text: quotes become apostrophes, line breaks blanks.
std::string CueText(const std::string& S) {
  std::string R = S;
  for (char& C : R) {
    if (C == '"') C = '\'';
    if (C == '\r' || C == '\n') C = ' ';
  }
  return "\"" + R + "\"";
}
}  // namespace

std::string RipCueSheet(const std::string& File, bool Mp3, const std::string& Album,
                        const std::string& Artist, const std::vector<TCueTrack>& Tracks) {
  std::string S;
  if (!Artist.empty()) S += "PERFORMER " + CueText(Artist) + "\n";
  if (!Album.empty()) S += "TITLE " + CueText(Album) + "\n";
  S += "FILE " + CueText(NameOf(File)) + (Mp3 ? " MP3\n" : " WAVE\n");
  int N = 0;
  for (const TCueTrack& T : Tracks) {
    char B[32];
    std::snprintf(B, sizeof B, "  TRACK %02d AUDIO\n", ++N);
    S += B;
    if (!T.Title.empty()) S += "    TITLE " + CueText(T.Title) + "\n";
    if (!T.Performer.empty()) S += "    PERFORMER " + CueText(T.Performer) + "\n";
    S += "    INDEX 01 " + CueTime(T.Offset) + "\n";
  }
  return S;
}

// ---------------------------------------------------------------- the job

namespace {

// The process's file creation mask, read without changing it.
mode_t ProcessUmask() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::stoul(Line.substr(6), nullptr, 8));
  return 022;
}

// The files a run creates in the output folder while it works; whatever is
// left of them when the run ends is deleted. Nothing else is ever deleted.
class TWorkFiles {
 public:
  ~TWorkFiles() {
    for (const std::string& F : FMade) ::unlink(F.c_str());
  }
  // A new, empty file in Folder; "" when none can be made.
  std::string Make(const std::string& Folder, const std::string& Extension) {
    std::string T = Folder + ".velmora-rip-XXXXXX" + Extension;
    const int Fd = ::mkstemps(T.data(), static_cast<int>(Extension.size()));
    if (Fd < 0) return {};
    // mkstemps makes the file private; the file a user gets is made as any
    // other new file would be.
    ::fchmod(Fd, 0666 & ~ProcessUmask());
    ::close(Fd);
    FMade.insert(T);
    return T;
  }
  void Remove(const std::string& F) {
    if (FMade.erase(F)) ::unlink(F.c_str());
  }
  // Moves work file F over Target in one rename; it is no longer a work file.
  bool MoveTo(const std::string& F, const std::string& Target) {
    if (!FMade.count(F) || ::rename(F.c_str(), Target.c_str()) != 0) return false;
    FMade.erase(F);
    return true;
  }

 private:
  std::set<std::string> FMade;
};

std::string TrackLine(int Number) {
  char B[16];
  std::snprintf(B, sizeof B, "%02d", Number);
  return B;
}

}  // namespace

TRipJob::TRipJob(TRipComponents Components, TRipRequest Request, TRipEvents Events)
    : FC(std::move(Components)), FR(std::move(Request)), FE(std::move(Events)) {}

void TRipJob::Say(const std::string& Text) {
  if (FE.Status) FE.Status(Text);
}

bool TRipJob::RunSink(bool Mp3, std::string& Error) {
  TACSOutput* Sink = Mp3 ? static_cast<TACSOutput*>(FC.Mp3Out) : FC.WaveOut;
  // The events arrive on the sink's worker; what they write is read after
  // WaitForEnd, which orders it.
  bool Failed = false;
  Sink->OnProgress = [this, Sink](TComponent*) {
    if (FE.Progress) FE.Progress(Sink->Progress());
  };
  Sink->OnDone = nullptr;
  Sink->OnThreadException = [&](TComponent*, const std::exception& E) {
    Error = E.what();
    Failed = true;
  };
  try {
    Sink->Run();
    Sink->WaitForEnd();
  } catch (const std::exception& E) {
    Error = E.what();
    Failed = true;
  }
  Sink->OnProgress = nullptr;
  Sink->OnThreadException = nullptr;
  return !Failed;
}

TRipOutcome TRipJob::Run() {
  TRipOutcome O;
  TableOfContents Now{};
  if (ReadTOC(FR.Handle, &Now) != 1 || std::memcmp(&Now, &FR.Toc, sizeof Now) != 0) {
    O.Refused = true;
    O.Message = kRipDiscChanged;
    Say(O.Message);
    return O;
  }
  const bool Single = !FR.SingleFile.empty();
  const std::string Folder =
      Single ? FolderOf(FR.SingleFile)
             : (FR.Folder.empty() || FR.Folder.back() == '/' ? FR.Folder : FR.Folder + "/");
  if (Single && Exists(FR.SingleFile) && IsFileLocked(FR.SingleFile)) {
    O.Refused = true;
    O.Message = FR.SingleFile + " locked by the other programme, please unlock it first!";
    Say(O.Message);
    return O;
  }
  TWorkFiles Work;
  TRipNames Names;
  const std::string Extension = FR.Mp3 ? ".mp3" : ".wav";
  // Single file: the work file holding the tracks joined so far.
  std::string Joined;
  int64_t JoinedFrames = 0;
  std::vector<TCueTrack> Cue;

  const auto Failed = [&](const TRipTrackRequest& T) {
    ++O.Failed;
    if (FE.TrackFailed) FE.TrackFailed(T.Entry);
  };
  const auto TagTitle = [&](const TRipTrackRequest& T) {
    return FR.Title.empty() ? T.Title : FR.Title;
  };
  // Encodes work file Wav into Target; false after the status when it fails.
  const auto Encode = [&](const std::string& Wav, const std::string& Target,
                          const std::string& Title, int TrackNumber) {
    const std::string Out = Work.Make(Folder, ".mp3");
    std::string Error = "cannot create a file in " + Folder;
    bool Ok = false;
    if (!Out.empty()) {
      FC.FinalWaveIn->SetFileName(Wav);
      FC.Mp3Out->SetFileName(Out);
      FC.Mp3Out->Id3TagAlbum = FR.Album;
      FC.Mp3Out->Id3TagArtist = FR.Artist;
      FC.Mp3Out->Id3TagYear = FR.Year;
      FC.Mp3Out->Id3TagTitle = Title;
      FC.Mp3Out->Id3TagComment = FR.Comment;
      FC.Mp3Out->Id3TagTrack = TrackNumber > 0 ? std::to_string(TrackNumber) : std::string();
      if (FC.ApplyMp3Settings) FC.ApplyMp3Settings(FC.Mp3Out);
      Say("Converting to mp3...");
      Ok = RunSink(true, Error) && Work.MoveTo(Out, Target);
      if (Ok) Error.clear();
    }
    Work.Remove(Out);
    Say(Ok ? "Convert done." : "Convert error:" + Error);
    return Ok;
  };

  for (const TRipTrackRequest& T : FR.Tracks) {
    if (FStop) break;
    const int Number = FR.Toc.Entries[T.Entry].TrackNumber;
    TRipTrackReport Report;
    Report.TrackNumber = Number;
    std::string Target;
    if (!Single) {
      Target = Folder + Names.Take(RipSafeStem(T.Name, Number), Extension);
      if (Exists(Target) && IsFileLocked(Target)) {
        Say(Target + " locked by the other programme, current track will be ignored!");
        Report.Result.Error = "Locked";
        O.Tracks.push_back(Report);
        Failed(T);
        continue;
      }
    }
    if (FE.TrackStarted) FE.TrackStarted(T.Entry);
    Say("Ripping " + T.Name + "...");
    const std::string Wav = Work.Make(Folder, ".wav");
    if (Wav.empty()) {
      Report.Result.Error = "cannot create a file in " + Folder;
    } else {
      Report.Result = RipCdTrack(FR.Handle, FR.Toc, T.Entry, RipTrackFrames(FR.Toc, T.Entry), Wav,
                                 FR.Checked, FE.Progress);
    }
    if (!Report.Result.Ok) {
      Work.Remove(Wav);
      Say(Report.Result.Error + ": " + T.Name);
      O.Tracks.push_back(Report);
      Failed(T);
      continue;
    }
    if (Single) {
      if (FStop) {
        Work.Remove(Wav);
        O.Tracks.push_back(Report);
        break;
      }
      const int64_t Offset = JoinedFrames;
      if (Joined.empty()) {
        Joined = Wav;
      } else {
        Say("Concatenating...");
        const std::string Out = Work.Make(Folder, ".wav");
        std::string Error = "cannot create a file in " + Folder;
        FC.WaveIn1->SetFileName(Joined);
        FC.WaveIn2->SetFileName(Wav);
        FC.WaveOut->SetFileName(Out);
        if (!Out.empty() && RunSink(false, Error)) {
          Work.Remove(Joined);
          Work.Remove(Wav);
          Joined = Out;
          Say("Concatenate done.");
        } else {
          Work.Remove(Wav);
          Work.Remove(Out);
          Say("Concatenate error:" + Error);
          Report.Result.Ok = false;
          Report.Result.Error = Error;
          O.Tracks.push_back(Report);
          Failed(T);
          continue;
        }
      }
      JoinedFrames += Report.Result.Frames;
      Cue.push_back({Offset, T.Title, FR.Artist});
      Report.File = FR.SingleFile;
      ++O.Done;
    } else if (!FR.Mp3 || FStop) {
      // Stopped before encoding: the WAV is kept beside where the MP3 would be.
      const std::string To = FR.Mp3 ? ReplaceExtension(Target, ".wav") : Target;
      if (Work.MoveTo(Wav, To)) {
        Report.File = To;
        O.Files.push_back(To);
        ++O.Done;
      } else {
        Work.Remove(Wav);
        Report.Result.Ok = false;
        Report.Result.Error = std::strerror(errno);
        Failed(T);
      }
    } else if (Encode(Wav, Target, TagTitle(T), Number)) {
      Work.Remove(Wav);
      Report.File = Target;
      O.Files.push_back(Target);
      ++O.Done;
    } else {
      // The WAV stays when the encoding fails.
      const std::string To = ReplaceExtension(Target, ".wav");
      if (Work.MoveTo(Wav, To)) {
        Report.File = To;
        O.Files.push_back(To);
      }
      Report.Result.Error = "Convert error";
      Failed(T);
    }
    O.Tracks.push_back(Report);
  }
  O.Stopped = FStop;

  if (Single && !Joined.empty()) {
    std::string File = FR.SingleFile;
    bool Ok;
    if (FR.Mp3 && !O.Stopped) {
      Ok = Encode(Joined, File, FR.Title, 0);
    } else {
      if (FR.Mp3) File = ReplaceExtension(File, ".wav");
      Ok = Work.MoveTo(Joined, File);
    }
    if (Ok) {
      O.Files.push_back(File);
      const std::string CuePath = ReplaceExtension(FR.SingleFile, ".cue");
      std::ofstream C(CuePath, std::ios::binary | std::ios::trunc);
      C << RipCueSheet(File, FR.Mp3 && !O.Stopped, FR.Album, FR.Artist, Cue);
      if (C.good()) {
        O.CueFile = CuePath;
        O.Files.push_back(CuePath);
      }
    } else {
      for (TRipTrackReport& R : O.Tracks) R.File.clear();
    }
  }

  // The log, beside the output.
  if (!FR.Tracks.empty()) {
    std::string Stem = RipSafeStem(FR.Album.empty() ? "Rip" : FR.Album, 0);
    if (Stem == "Track-00") Stem = "Rip";
    const std::string LogPath = Folder + Names.Take(Stem, ".log");
    std::string L = "Drive: " + FR.Drive + "\n";
    L += "CDDB disc ID: " + Hex8(RipCddbDiscId(FR.Toc)) + "\n";
    L += "Table of contents (track, start sector, sectors, type):\n";
    const int Count = LeadOutEntry(FR.Toc);
    for (int K = 0; K < Count; ++K) {
      const int32_t S = TocAddress(FR.Toc.Entries[K]);
      L += "  " + TrackLine(FR.Toc.Entries[K].TrackNumber) + "  " + std::to_string(S) + "  " +
           std::to_string(TocAddress(FR.Toc.Entries[K + 1]) - S) + "  " +
           (IsDataTrack(FR.Toc.Entries[K].AdrControl) ? "data" : "audio") + "\n";
    }
    L += "  lead-out  " + std::to_string(TocAddress(FR.Toc.Entries[Count])) + "\n";
    for (const TRipTrackReport& R : O.Tracks) {
      L += "\nTrack " + TrackLine(R.TrackNumber) + "\n";
      L += "  File: " + (R.File.empty() ? std::string("(none)") : R.File) + "\n";
      if (!R.Result.Ok) {
        L += "  Error: " + R.Result.Error + "\n";
        continue;
      }
      L += "  Frames: " + std::to_string(R.Result.Frames) + "\n";
      L += "  CRC-32: " + Hex8(R.Result.Crc32) + "\n";
      L += "  AccurateRip v1: " + Hex8(R.Result.ArV1) + "\n";
      L += "  AccurateRip v2: " + Hex8(R.Result.ArV2) + "\n";
      L += std::string("  Reads: ") + (R.Result.Checked ? "checked" : "unchecked") + ", " +
           std::to_string(R.Result.Retries) + " retried\n";
    }
    L += std::string("\n") + (O.Stopped ? "Stopped" : "Finished") + ": " + std::to_string(O.Done) +
         " ripped, " + std::to_string(O.Failed) + " failed\n";
    std::ofstream Log(LogPath, std::ios::binary | std::ios::trunc);
    Log << L;
    if (Log.good()) {
      O.LogFile = LogPath;
      O.Files.push_back(LogPath);
    }
  }

  if (O.Stopped)
    O.Message = kRipStopped;
  else if (O.Failed > 0)
    O.Message = std::string(kRipDone) + " " + std::to_string(O.Failed) +
                (O.Failed == 1 ? " track" : " tracks") + " failed.";
  else
    O.Message = kRipDone;
  Say(O.Message);
  return O;
}
