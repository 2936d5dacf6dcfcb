// velmora-cli cd drives | toc | titles | rip: the CdRipper page's listing,
// CDDB lookup and ripping from the command line, with the page's status texts
// on stderr.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "app/CdRip.h"
#include "app/IniSettings.h"
#include "app/RipUtility.h"
#include "app/cli/CliCommon.h"
#include "app/cli/CliSettings.h"
#include "app/cli/ProgressDisplay.h"
#include "codecs/ACS_LAME.h"
#include "engine/ACS_AudioMix.h"
#include "platform/CdAccess.h"
#include "platform/CdText.h"
#include "wave/ACS_Wave.h"

namespace {

const char* const kUsage =
    "Usage: velmora-cli cd drives | toc [--drive N|PATH] | titles [--drive N|PATH] "
    "[--server HOST[:PORT]] [--email ADDRESS] [--timeout SECONDS] | rip [--drive N|PATH] "
    "--tracks all|1,3-5 --out DIR [--mp3] [--single FILE] [--cddb] [--server HOST[:PORT]] "
    "[--email ADDRESS] [--timeout SECONDS]";

int Status(const std::string& Text, int Result) {
  std::fprintf(stderr, "%s\n", Text.c_str());
  return Result;
}

// An open drive and its table of contents, as the page loads them.
struct TOpenedDisc {
  TCDHandle Handle = 0;
  TableOfContents Toc{};
  ~TOpenedDisc() {
    if (Handle) CloseCDHandle(Handle);
  }
};

// Opens the drive that --drive names: a number of "cd drives" (0 when not
// given), or the path of a disc image or device node, which is added to the
// list first. 0 (after the page's status text) when there is nothing to
// list.
int OpenDisc(const TJobOptions& O, TOpenedDisc& Disc) {
  const std::string Drive = O.Text("--drive", "0");
  const bool IsNumber =
      !Drive.empty() && Drive.find_first_not_of("0123456789") == std::string::npos;
  if (!IsNumber && !AddCDDrive(Drive)) return Status(kCdNoTrackInfo, 1);
  if (!IsNumber) {
    const std::string Problem = CDDriveProblem(Drive);
    if (!Problem.empty()) throw EACSException(Drive + ": " + Problem);
  }
  DriveList List{};
  List.Max = 8;
  GetCDList(&List);
  int Index = -1;
  if (IsNumber) {
    Index = std::atoi(Drive.c_str());
  } else {
    for (int I = 0; I < List.Count && Index < 0; ++I)
      if (CDDrivePath(List.Drives[I]) == Drive) Index = I;
  }
  if (Index < 0 || Index >= List.Count) return Status(kCdNoTrackInfo, 1);
  const DriveOpenRequest Request = CdOpenRequest(List.Drives[Index]);
  Disc.Handle = GetCDHandle(&Request);
  if (!Disc.Handle) return Status(kCdNoTrackInfo, 1);
  ModifyCDParms(Disc.Handle, kCdParmAddressMode, 0);
  if (ReadTOC(Disc.Handle, &Disc.Toc) != 1) return Status(kCdTocError, 1);
  return 0;
}

int Drives(const std::vector<std::string>& Args) {
  if (!ParseArgs(Args, {}, {}).Positional.empty()) throw EACSException(kUsage);
  DriveList List{};
  List.Max = 8;
  GetCDList(&List);
  for (int I = 0; I < List.Count; ++I)
    std::printf("%d\t%s\n", I, CdFieldText(List.Drives[I].Id, sizeof List.Drives[I].Id).c_str());
  if (List.Count == 0) std::fprintf(stderr, "No CD drive found.\n");
  return 0;
}

int Toc(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--drive"}, {});
  if (!A.Positional.empty()) throw EACSException(kUsage);
  TOpenedDisc Disc;
  if (const int R = OpenDisc(A.Options, Disc)) return R;
  const std::vector<TCdTrackRow> Rows = CdTrackRows(Disc.Toc);
  for (const TCdTrackRow& R : Rows)
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", R.Number.c_str(), R.Name.c_str(), R.PlayTime.c_str(),
                R.Size.c_str(), R.FramesText.c_str(), R.Type.c_str());
  return Status(kCdTotalTracks + std::to_string(Rows.size()), 0);
}

// The CDDB server of the saved settings, unless the options say otherwise.
TCddbSetup CddbOptions(const TJobOptions& O) {
  OpenSettings(SavedSettingsPath());
  TCddbSetup Setup{ReadCddbServer(), ReadCddbEmail(), ReadCddbTimeout()};
  CloseSettings();
  Setup.Server = O.Text("--server", Setup.Server);
  Setup.Email = O.Text("--email", Setup.Email);
  const long long Timeout = O.Int("--timeout", Setup.Timeout);
  if (Timeout < 1 || Timeout > 3600)
    throw EACSException("Option --timeout must be between 1 and 3600");
  Setup.Timeout = static_cast<int>(Timeout);
  return Setup;
}

int Titles(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--drive", "--server", "--email", "--timeout"}, {});
  if (!A.Positional.empty()) throw EACSException(kUsage);
  const TJobOptions& O = A.Options;
  const TCddbSetup Setup = CddbOptions(O);

  TOpenedDisc Disc;
  if (const int R = OpenDisc(O, Disc)) return R;
  const std::vector<TCdTrackRow> Rows = CdTrackRows(Disc.Toc);
  Status(kCdTotalTracks + std::to_string(Rows.size()), 0);
  Status(CddbConnectingStatus(Setup), 0);
  const TCddbLookup L =
      LookUpCddb(Disc.Handle, Setup, [](const std::string& Text) { Status(Text, 0); });
  if (L.Outcome != TCddbLookup::loFound) return 1;
  std::printf("%s\n%s\n", L.Artist.c_str(), L.Album.c_str());
  for (const TCdTrackRow& R : Rows) {
    const std::string Name =
        R.Data ? R.Name : CddbTrackTitle(R.TrackNumber, Disc.Toc.FirstTrack, L.Record);
    std::printf("%s\n", Name.c_str());
  }
  return 0;
}

// The track numbers of "all" (every audio track) or "1,3-5".
std::set<int> TrackSelection(const std::string& Text, const std::vector<TCdTrackRow>& Rows) {
  std::set<int> R;
  if (Text == "all") {
    for (const TCdTrackRow& Row : Rows)
      if (!Row.Data) R.insert(Row.TrackNumber);
    return R;
  }
  const auto Bad = [&Text] { return EACSException("Option --tracks: not a track list: " + Text); };
  size_t At = 0;
  while (At <= Text.size()) {
    const size_t End = std::min(Text.find(',', At), Text.size());
    const std::string Part = Text.substr(At, End - At);
    const size_t Dash = Part.find('-');
    const std::string From = Part.substr(0, Dash);
    const std::string To = Dash == std::string::npos ? From : Part.substr(Dash + 1);
    const auto Number = [&](const std::string& S) {
      if (S.empty() || S.size() > 2 || S.find_first_not_of("0123456789") != std::string::npos)
        throw Bad();
      return std::atoi(S.c_str());
    };
    const int F = Number(From), T = Number(To);
    if (F > T) throw Bad();
    for (int N = F; N <= T; ++N) R.insert(N);
    At = End + 1;
  }
  for (int N : R) {
    bool Listed = false;
    for (const TCdTrackRow& Row : Rows) Listed = Listed || Row.TrackNumber == N;
    if (!Listed) throw EACSException("There is no track " + std::to_string(N) + " on the disc");
  }
  return R;
}

int Rip(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(
      Args, {"--drive", "--tracks", "--out", "--single", "--server", "--email", "--timeout"},
      {"--mp3", "--cddb"});
  if (!A.Positional.empty() || !A.Options.Has("--tracks") ||
      (!A.Options.Has("--out") && !A.Options.Has("--single")))
    throw EACSException(kUsage);
  const TJobOptions& O = A.Options;
  const bool Mp3 = O.Has("--mp3");
  TOpenedDisc Disc;
  if (const int R = OpenDisc(O, Disc)) return R;
  const std::vector<TCdTrackRow> Rows = CdTrackRows(Disc.Toc);
  const std::set<int> Wanted = TrackSelection(O.Text("--tracks", ""), Rows);
  Status(kCdTotalTracks + std::to_string(Rows.size()), 0);

  TRipRequest Request;
  Request.Handle = Disc.Handle;
  Request.Toc = Disc.Toc;
  Request.Drive = O.Text("--drive", "0");
  Request.Mp3 = Mp3;
  Request.Folder = O.Text("--out", ".");
  if (O.Has("--single")) {
    std::string File = O.Text("--single", "");
    if (File.empty()) throw EACSException(kUsage);
    if (File[0] != '/' && O.Has("--out")) File = Request.Folder + "/" + File;
    const std::string Ext = Mp3 ? ".mp3" : ".wav";
    if (ReplaceExtension(File, Ext) != File) File += Ext;
    Request.SingleFile = File;
  }
  std::string Record;
  if (O.Has("--cddb")) {
    const TCddbSetup Setup = CddbOptions(O);
    Status(CddbConnectingStatus(Setup), 0);
    const TCddbLookup L =
        LookUpCddb(Disc.Handle, Setup, [](const std::string& Text) { Status(Text, 0); });
    if (L.Outcome == TCddbLookup::loFound || L.Outcome == TCddbLookup::loNoRecord) {
      Request.Album = L.Album;
      Request.Artist = L.Artist;
    }
    if (L.Outcome == TCddbLookup::loFound) Record = L.Record;
  }
  for (size_t K = 0; K < Rows.size(); ++K) {
    const TCdTrackRow& Row = Rows[K];
    if (!Wanted.count(Row.TrackNumber)) continue;
    TRipTrackRequest T;
    T.Entry = static_cast<int>(K);
    const std::string Title = Record.empty() || Row.Data
                                  ? ""
                                  : CddbTrackTitle(Row.TrackNumber, Disc.Toc.FirstTrack, Record);
    T.Name = RipTrackName(Record.empty() || Row.Data ? Row.Name : Title);
    T.Title = Title;
    Request.Tracks.push_back(T);
  }

  TOwned<TComponent> Owner(new TComponent(nullptr));
  TRipComponents C;
  C.WaveIn1 = new TWaveIn(Owner.get());
  C.WaveIn2 = new TWaveIn(Owner.get());
  C.Mixer = new TAudioMixer(Owner.get());
  C.Mixer->SetInput1(C.WaveIn1);
  C.Mixer->SetInput2(C.WaveIn2);
  C.Mixer->SetMode(amConcatenate);
  C.WaveOut = new TWaveOut(Owner.get());
  C.WaveOut->SetInput(C.Mixer);
  C.WaveOut->SetFileMode(foRewrite);
  C.WaveOut->SetWavType(wtPCM);
  C.WaveOut->SetBlockSize(512);
  C.FinalWaveIn = new TWaveIn(Owner.get());
  C.Mp3Out = new TMP3Out(Owner.get());
  C.Mp3Out->SetInput(C.FinalWaveIn);
  C.Mp3Out->SetFileMode(foRewrite);
  const std::string Settings = SavedSettingsPath();
  C.ApplyMp3Settings = [Settings](TMP3Out* Out) {
    OpenSettings(Settings);
    ApplyMp3Settings(Out);
    CloseSettings();
  };

  InstallInterruptHandler();
  // One display a stage: a status text ends the stage's line.
  std::optional<TProgressDisplay> Bar;
  TRipJob* Running = nullptr;
  TRipEvents E;
  E.Status = [&Bar](const std::string& Text) {
    Bar.reset();
    Status(Text, 0);
  };
  // Ctrl+C stops the job after the stage in progress.
  E.Progress = [&](int Percent) {
    if (InterruptRequested() && Running) Running->Stop();
    if (!Bar) Bar.emplace();
    Bar->Update(Percent, 0);
  };
  TRipJob Job(C, Request, E);
  Running = &Job;
  const TRipOutcome R = Job.Run();
  Bar.reset();
  for (const std::string& F : R.Files) std::printf("%s\n", F.c_str());
  // Stopped by Ctrl+C: the status every interrupted command gives.
  if (R.Stopped && InterruptRequested()) return InterruptedExit;
  return R.Refused || R.Stopped || R.Failed > 0 ? 1 : 0;
}

}  // namespace

int CmdCd(const std::vector<std::string>& Args) {
  const std::string What = Args.empty() ? "" : Args[0];
  const std::vector<std::string> Rest(Args.begin() + (Args.empty() ? 0 : 1), Args.end());
  if (What == "drives") return Drives(Rest);
  if (What == "toc") return Toc(Rest);
  if (What == "titles") return Titles(Rest);
  if (What == "rip") return Rip(Rest);
  throw EACSException(kUsage);
}
