#include "tests/support/TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <vector>

namespace testing_support {

TempDir::TempDir() {
  std::string Tmpl = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
  if (!::mkdtemp(Tmpl.data())) throw std::runtime_error("mkdtemp failed");
  FDir = Tmpl;
}

TempDir::~TempDir() {
  std::error_code Ec;
  std::filesystem::remove_all(FDir, Ec);
}

std::string Quote(const std::string& S) {
  std::string R = "'";
  for (char C : S) {
    if (C == '\'')
      R += "'\\''";
    else
      R += C;
  }
  return R + "'";
}

int Run(const std::string& CommandLine, std::string* Out, std::string* Err) {
  TempDir T;
  const std::string OutF = T.Path("out"), ErrF = T.Path("err");
  const std::string Cmd =
      "(" + CommandLine + ") >" + Quote(OutF) + " 2>" + Quote(ErrF) + " </dev/null";
  const int St = std::system(Cmd.c_str());
  auto Slurp = [](const std::string& F) {
    std::ifstream In(F, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
  };
  if (Out) *Out = Slurp(OutF);
  if (Err) *Err = Slurp(ErrF);
  if (St == -1) return -1;
  return WIFEXITED(St) ? WEXITSTATUS(St) : 128 + WTERMSIG(St);
}

bool HaveTool(const std::string& Program) { return Run("command -v " + Quote(Program)) == 0; }

std::vector<uint8_t> ReadFileBytes(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) throw std::runtime_error("cannot read " + Name);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(In), {});
}

void WriteFileBytes(const std::string& Name, const std::vector<uint8_t>& Data) {
  std::ofstream Out(Name, std::ios::binary);
  Out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
  if (!Out) throw std::runtime_error("cannot write " + Name);
}

std::string SharedTestData() {
  const char* E = std::getenv("VELMORA_SHARED");
  std::string Base = E && *E ? E : std::string(VELMORA_SOURCE_DIR) + "/../shared";
  const std::string D = Base + "/testdata";
  return std::filesystem::is_directory(D) ? D : std::string();
}

std::string BinDir() { return VELMORA_BIN_DIR; }

std::vector<int16_t> MakeSignal16(int Frames, int Channels, int Rate, double Amplitude) {
  std::vector<int16_t> S(static_cast<size_t>(Frames) * Channels);
  uint32_t Seed = 12345;
  for (int F = 0; F < Frames; ++F)
    for (int C = 0; C < Channels; ++C) {
      Seed = Seed * 1664525u + 1013904223u;
      const double Noise = (static_cast<double>(Seed >> 8) / 16777216.0 - 0.5) * 0.02;
      const double Freq = 440.0 * (C + 1) + 3.0 * C;
      const double V = Amplitude * std::sin(2 * M_PI * Freq * F / Rate) + Noise;
      S[static_cast<size_t>(F) * Channels + C] =
          static_cast<int16_t>(std::lround(std::clamp(V, -1.0, 1.0) * 32767.0));
    }
  return S;
}

std::vector<uint8_t> MakeSignal8(int Frames, int Channels, int Rate) {
  std::vector<int16_t> S = MakeSignal16(Frames, Channels, Rate);
  std::vector<uint8_t> R(S.size());
  for (size_t I = 0; I < S.size(); ++I) R[I] = static_cast<uint8_t>((S[I] >> 8) + 128);
  return R;
}

namespace {
void Put32(std::vector<uint8_t>& V, uint32_t X) {
  for (int I = 0; I < 4; ++I) V.push_back(static_cast<uint8_t>(X >> (8 * I)));
}
void Put16(std::vector<uint8_t>& V, uint16_t X) {
  V.push_back(static_cast<uint8_t>(X));
  V.push_back(static_cast<uint8_t>(X >> 8));
}
uint32_t Get32(const uint8_t* P) { return P[0] | P[1] << 8 | P[2] << 16 | uint32_t(P[3]) << 24; }
uint16_t Get16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }
}  // namespace

void WritePcmWav(const std::string& Name, const void* Data, size_t Bytes, int Channels, int Rate,
                 int Bits) {
  std::vector<uint8_t> V;
  const uint32_t Align = static_cast<uint32_t>(Channels * Bits / 8);
  V.insert(V.end(), {'R', 'I', 'F', 'F'});
  Put32(V, static_cast<uint32_t>(Bytes + 36));
  V.insert(V.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(V, 16);
  Put16(V, 1);
  Put16(V, static_cast<uint16_t>(Channels));
  Put32(V, static_cast<uint32_t>(Rate));
  Put32(V, static_cast<uint32_t>(Rate) * Align);
  Put16(V, static_cast<uint16_t>(Align));
  Put16(V, static_cast<uint16_t>(Bits));
  V.insert(V.end(), {'d', 'a', 't', 'a'});
  Put32(V, static_cast<uint32_t>(Bytes));
  const auto* P = static_cast<const uint8_t*>(Data);
  V.insert(V.end(), P, P + Bytes);
  WriteFileBytes(Name, V);
}

std::vector<int16_t> ReadPcm16Wav(const std::string& Name, int* Channels, int* Rate) {
  const std::vector<uint8_t> F = ReadFileBytes(Name);
  if (F.size() < 12 || std::memcmp(F.data(), "RIFF", 4) || std::memcmp(F.data() + 8, "WAVE", 4))
    throw std::runtime_error(Name + ": not a RIFF WAVE file");
  size_t P = 12;
  int Ch = 0, Rt = 0, Bits = 0;
  while (P + 8 <= F.size()) {
    const uint32_t Len = Get32(&F[P + 4]);
    const uint8_t* Body = &F[P + 8];
    if (!std::memcmp(&F[P], "fmt ", 4) && P + 8 + 16 <= F.size()) {
      Ch = Get16(Body + 2);
      Rt = static_cast<int>(Get32(Body + 4));
      Bits = Get16(Body + 14);
    } else if (!std::memcmp(&F[P], "data", 4)) {
      if (Bits != 16) throw std::runtime_error(Name + ": not 16-bit PCM");
      size_t N = std::min<size_t>(Len, F.size() - (P + 8));
      // Tools that stream to a pipe leave 0 or 0xFFFFFFFF here.
      if (Len == 0 || Len == 0xFFFFFFFFu) N = F.size() - (P + 8);
      std::vector<int16_t> S(N / 2);
      std::memcpy(S.data(), Body, S.size() * 2);
      if (Channels) *Channels = Ch;
      if (Rate) *Rate = Rt;
      return S;
    }
    P += 8 + Len + (Len & 1);
  }
  throw std::runtime_error(Name + ": no data chunk");
}

int TMemorySource::GetData(void* Buffer, int BufferSize) {
  if (!Busy()) throw EACSException("The Stream is not opened");
  if (FailAfter >= 0 && static_cast<int64_t>(FRead) >= FailAfter)
    throw EACSException("Simulated read failure");
  size_t N = std::min<size_t>(
      {static_cast<size_t>(BufferSize), Data.size() - FRead, static_cast<size_t>(MaxChunk)});
  if (FailAfter >= 0) N = std::min<size_t>(N, static_cast<size_t>(FailAfter) - FRead);
  if (N > 0) std::memcpy(Buffer, Data.data() + FRead, N);  // Data may be empty (null)
  FRead += N;
  FPosition += static_cast<int64_t>(N);
  return static_cast<int>(N);
}

void TMemorySource::Init() {
  if (Busy()) throw EACSException("The component is buisy");
  ++InitCount;
  FRead = 0;
  FPosition = 0;
  FSize = UseReportedSize ? ReportedSize : static_cast<int64_t>(Data.size());
  FBusy = true;
}

void TMemorySource::Flush() {
  ++FlushCount;
  FBusy = false;
}

std::string RunJob(TACSOutput& Sink, std::function<void()> OnProgress) {
  std::string Error;
  Sink.OnProgress = [&](TComponent*) {
    if (OnProgress) OnProgress();
  };
  Sink.OnDone = nullptr;
  Sink.OnThreadException = [&](TComponent*, const std::exception& E) {
    Error = E.what();
    if (Error.empty()) Error = "(empty message)";
  };
  Sink.Run();
  Sink.WaitForEnd();
  Sink.OnProgress = nullptr;
  Sink.OnThreadException = nullptr;
  return Error;
}

double BandRms(const std::string& File, double From, double Length, int Low, int High) {
  // The band is filtered over the whole file, then measured in five equal
  // pieces of the stretch: the median piece, so that a short gap a busy
  // machine leaves in real-time sound does not lower the figure.
  constexpr int kPieces = 5;
  std::vector<double> Levels;
  for (int I = 0; I < kPieces; ++I) {
    std::string Out, Err;
    const std::string Cmd = "sox " + Quote(File) + " -n sinc -t 50 " + std::to_string(Low) + "-" +
                            std::to_string(High) + " trim " +
                            std::to_string(From + I * Length / kPieces) + " " +
                            std::to_string(Length / kPieces) + " stat";
    if (Run(Cmd, &Out, &Err) != 0) return -1;
    std::smatch M;
    if (!std::regex_search(Err, M, std::regex(R"(RMS\s+amplitude:\s+([0-9.eE+-]+))"))) return -1;
    Levels.push_back(std::stod(M[1]));
  }
  std::sort(Levels.begin(), Levels.end());
  return Levels[kPieces / 2];
}

double Db(double Rms) { return 20 * std::log10(std::max(Rms, 1e-9)); }

double SoxSeconds(const std::string& File) {
  std::string Out;
  if (Run("soxi -D " + Quote(File), &Out) != 0) return -1;
  try {
    return std::stod(Out);
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace testing_support
