#include "codecs/CodecRegistry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_Vorbis.h"
#include "wave/ACS_Wave.h"

std::string TJobOptions::Text(const std::string& Name, const std::string& Default) const {
  auto It = Values.find(Name);
  if (It == Values.end() || It->second.empty()) return Default;
  return It->second.back();
}

long long TJobOptions::Int(const std::string& Name, long long Default) const {
  const std::string T = Text(Name);
  if (T.empty()) return Default;
  char* End = nullptr;
  errno = 0;
  const long long V = std::strtoll(T.c_str(), &End, 10);
  if (errno != 0 || End == T.c_str() || *End != '\0')
    throw EACSException("Option " + Name + " needs a whole number, not \"" + T + "\"");
  return V;
}

double TJobOptions::Real(const std::string& Name, double Default) const {
  const std::string T = Text(Name);
  if (T.empty()) return Default;
  char* End = nullptr;
  const double V = std::strtod(T.c_str(), &End);
  if (End == T.c_str() || *End != '\0')
    throw EACSException("Option " + Name + " needs a number, not \"" + T + "\"");
  return V;
}

std::vector<std::string> TJobOptions::All(const std::string& Name) const {
  auto It = Values.find(Name);
  return It == Values.end() ? std::vector<std::string>{} : It->second;
}

std::string LowerExtension(const std::string& FileName) {
  const size_t Slash = FileName.find_last_of('/');
  const size_t Dot = FileName.find_last_of('.');
  if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return "";
  std::string E = FileName.substr(Dot);
  std::transform(E.begin(), E.end(), E.begin(), [](unsigned char C) { return std::tolower(C); });
  return E;
}

TFileInfo InfoFromFileIn(TACSFileIn& In) {
  TFileInfo I;
  const auto Hold = In.HoldOpen();
  I.Valid = In.Valid();
  if (!I.Valid) return I;
  I.Channels = In.InChannels();
  I.Rate = In.InSampleRate();
  I.Bits = In.InBitsPerSample();
  I.Samples = In.SampleCount();
  const int64_t FrameBytes = static_cast<int64_t>(I.Channels) * (I.Bits / 8);
  I.Bytes = I.Samples * FrameBytes;
  // TotalTime saturates at the largest int; a long (or lying) header is
  // counted in 64 bits from the frames instead.
  const int Whole = In.TotalTime();
  if (Whole < INT_MAX)
    I.Seconds = Whole;
  else
    I.Seconds = I.Rate > 0 ? (I.Samples + I.Rate / 2) / I.Rate : -1;
  return I;
}

// Entries defined beside their codec.
TCodecEntry Mp3Entry();
TCodecEntry ApeEntry();

namespace {

TCodecEntry WaveEntry() {
  TCodecEntry E;
  E.Extension = ".wav";
  E.ValueOptions = {"--block-size"};
  E.FlagOptions = {"--adpcm", "--append"};
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    auto* Out = static_cast<TWaveOut*>(Sink);
    if (O.Has("--adpcm")) Out->SetWavType(wtDVIADPCM);
    if (O.Has("--block-size")) {
      const long long B = O.Int("--block-size", 512);
      if (B <= 0 || B > 65532 || B % 4 != 0)
        throw EACSException("Option --block-size needs a multiple of 4 from 4 to 65532");
      Out->SetBlockSize(static_cast<uint16_t>(B));
    }
    if (O.Has("--append")) Out->SetFileMode(foAppend);
  };
  SetFileSource<TWaveIn>(E);
  SetFileSink<TWaveOut>(E, [](TWaveOut* Out) {
    // The written file takes the source's format: plain PCM.
    Out->SetWavType(wtPCM);
    Out->SetBlockSize(512);
  });
  return E;
}

TCodecEntry VorbisEntry() {
  TCodecEntry E;
  E.Extension = ".ogg";
  E.ValueOptions = {"--quality", "--bitrate", "--comment", "--serial"};
  E.FlagOptions = {"--append"};
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    if (O.Has("--quality") && O.Has("--bitrate"))
      throw EACSException("Options --quality and --bitrate exclude each other");
    auto* Out = static_cast<TVorbisOut*>(Sink);
    if (O.Has("--quality")) {
      const double Q = O.Real("--quality", 0.5);
      // Written so that NaN fails too.
      if (!(Q >= -0.1 && Q <= 1.0))
        throw EACSException("Option --quality needs a number from -0.1 to 1");
      Out->SetCompression(static_cast<float>(Q));
    }
    if (O.Has("--bitrate")) {
      const long long K = O.Int("--bitrate", 0);
      TVorbisBitRate B = TVorbisBitRate::brAutoSelect;
      if (K < 0 || K > 1000 || !VorbisBitRateFromKbps(static_cast<int>(K), B))
        throw EACSException(
            "Option --bitrate needs one of 45 48 56 64 80 96 112 128 144 160 192 224 256 320 499");
      Out->SetDesiredNominalBitrate(B);
    }
    if (O.Has("--serial")) {
      const long long S = O.Int("--serial", 0);
      if (S < INT32_MIN || S > UINT32_MAX) throw EACSException("Option --serial is out of range");
      Out->SetSerial(static_cast<int>(static_cast<uint32_t>(S)));
    }
    if (O.Has("--comment")) Out->SetComments(O.All("--comment"));
    if (O.Has("--append")) Out->SetFileMode(foAppend);
  };
  SetFileSource<TVorbisIn>(E);
  SetFileSink<TVorbisOut>(E, [](TVorbisOut* Out) {
    // The Settings page's default quality, not the component's.
    Out->SetCompression(0.5f);
    Out->SetDesiredNominalBitrate(TVorbisBitRate::brAutoSelect);
    Out->SetDesiredMaximumBitrate(TVorbisBitRate::brAutoSelect);
    Out->SetMinimumBitrate(TVorbisBitRate::brAutoSelect);
    Out->SetSerial(0);
  });
  return E;
}

TCodecEntry FlacEntry() {
  TCodecEntry E;
  E.Extension = ".flac";
  E.ValueOptions = {"--mid-side", "--loose-mid-side"};
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    auto Switch = [&O](const char* Name) {
      const std::string V = O.Text(Name);
      if (V != "0" && V != "1")
        throw EACSException(std::string("Option ") + Name + " needs 0 or 1");
      return V == "1";
    };
    auto* Out = static_cast<TFLACOut*>(Sink);
    // In this order: switching loose mid-side on also switches mid-side on.
    if (O.Has("--mid-side")) Out->SetEnableMidSideStereo(Switch("--mid-side"));
    if (O.Has("--loose-mid-side")) Out->SetEnableLooseMidSideStereo(Switch("--loose-mid-side"));
  };
  SetFileSource<TFLACIn>(E);
  SetFileSink<TFLACOut>(E, [](TFLACOut* Out) {
    // The window's FLAC writer starts with these.
    SetConverterFlacEncoding(*Out);
  });
  return E;
}

std::vector<TCodecEntry> MakeTable() {
  std::vector<TCodecEntry> T;
  T.push_back(WaveEntry());
  T.push_back(Mp3Entry());
  T.push_back(FlacEntry());
  T.push_back(VorbisEntry());
  T.push_back(ApeEntry());
  return T;
}

}  // namespace

const std::vector<TCodecEntry>& Codecs() {
  static const std::vector<TCodecEntry> Table = MakeTable();
  return Table;
}

const TCodecEntry* FindCodecFor(const std::string& FileName) {
  const std::string E = LowerExtension(FileName);
  if (E.empty()) return nullptr;
  for (const TCodecEntry& C : Codecs())
    if (C.Extension == E) return &C;
  return nullptr;
}
