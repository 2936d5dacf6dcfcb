// velmora-cli cd drives | toc | titles: the CdRipper page's listing and CDDB
// lookup from the command line, with the page's status texts on stderr.
#include <cstdio>
#include <cstdlib>

#include "app/IniSettings.h"
#include "app/RipUtility.h"
#include "app/cli/CliCommon.h"
#include "app/cli/CliSettings.h"
#include "platform/CdAccess.h"
#include "platform/CdText.h"

namespace {

const char* const kUsage =
    "Usage: velmora-cli cd drives | toc [--drive N|PATH] | titles [--drive N|PATH] "
    "[--server HOST[:PORT]] [--email ADDRESS] [--timeout SECONDS]";

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

int Titles(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--drive", "--server", "--email", "--timeout"}, {});
  if (!A.Positional.empty()) throw EACSException(kUsage);
  const TJobOptions& O = A.Options;
  // The window's saved settings, unless the options say otherwise.
  OpenSettings(SavedSettingsPath());
  TCddbSetup Setup{ReadCddbServer(), ReadCddbEmail(), ReadCddbTimeout()};
  CloseSettings();
  Setup.Server = O.Text("--server", Setup.Server);
  Setup.Email = O.Text("--email", Setup.Email);
  const long long Timeout = O.Int("--timeout", Setup.Timeout);
  if (Timeout < 1 || Timeout > 3600)
    throw EACSException("Option --timeout must be between 1 and 3600");
  Setup.Timeout = static_cast<int>(Timeout);

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

}  // namespace

int CmdCd(const std::vector<std::string>& Args) {
  const std::string What = Args.empty() ? "" : Args[0];
  const std::vector<std::string> Rest(Args.begin() + (Args.empty() ? 0 : 1), Args.end());
  if (What == "drives") return Drives(Rest);
  if (What == "toc") return Toc(Rest);
  if (What == "titles") return Titles(Rest);
  throw EACSException(kUsage);
}
