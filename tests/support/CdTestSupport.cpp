#include "tests/support/CdTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

std::string Script(const char* Name) {
  return std::string(VELMORA_SOURCE_DIR) + "/tests/scripts/" + Name;
}

// Debian's interpreter when it is there: it starts at once, where a wrapper
// on the PATH may take a second.
std::string Python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string Slurp(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

}  // namespace

TDiscLayout MixedModeDisc() {
  return {{"data", 300, ""},
          {"audio", 22050, "PRE,ZERO"},
          {"audio", 500, "DCP"},
          {"audio", 200, "4CH"}};
}

TDiscLayout AudioDisc() { return {{"audio", 100, ""}, {"audio", 1000, ""}, {"audio", 77, ""}}; }

TDiscLayout EnhancedDisc() {
  return {{"audio", 400, ""}, {"audio", 600, ""}, {"gap", 11400, ""}, {"data", 300, ""}};
}

bool HavePython() { return Python()[0] == '/' || HaveTool("python3"); }

std::string MakeDiscImage(const std::string& Dir, const std::string& Name,
                          const TDiscLayout& Layout) {
  const std::string Cue = Dir + "/" + Name + ".cue";
  std::string Cmd = Python() + " " + Quote(Script("make_cd_image.py")) + " " + Quote(Cue);
  for (const TDiscStretch& S : Layout)
    Cmd += " " +
           Quote(S.Kind + ":" + std::to_string(S.Frames) + (S.Flags.empty() ? "" : ":" + S.Flags));
  return Run(Cmd) == 0 ? Cue : std::string();
}

std::vector<int> TrackStarts(const TDiscLayout& Layout) {
  std::vector<int> R;
  int At = 0;
  for (const TDiscStretch& S : Layout) {
    if (S.Kind != "gap") R.push_back(At);
    At += S.Frames;
  }
  return R;
}

int LeadOut(const TDiscLayout& Layout) {
  int At = 0;
  for (const TDiscStretch& S : Layout) At += S.Frames;
  return At;
}

uint32_t CddbDiscId(const std::vector<int>& Starts, int LeadOut) {
  uint32_t Sum = 0;
  for (const int S : Starts)
    for (int Seconds = (S + 150) / 75; Seconds > 0; Seconds /= 10) Sum += Seconds % 10;
  const uint32_t Length = (LeadOut + 150) / 75 - (Starts.front() + 150) / 75;
  return (Sum % 255) << 24 | Length << 8 | static_cast<uint32_t>(Starts.size());
}

std::string Hex8(uint32_t Id) {
  char B[16];
  std::snprintf(B, sizeof B, "%08x", Id);
  return B;
}

std::string Json(const std::string& S) {
  std::string R = "\"";
  for (const char C : S) {
    switch (C) {
      case '"':
        R += "\\\"";
        break;
      case '\\':
        R += "\\\\";
        break;
      case '\n':
        R += "\\n";
        break;
      case '\r':
        R += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(C) < 0x20) {
          char B[8];
          std::snprintf(B, sizeof B, "\\u%04x", C);
          R += B;
        } else {
          R += C;  // UTF-8 goes through as it is
        }
    }
  }
  return R + "\"";
}

std::string Reply(const std::vector<std::string>& Lines, const std::string& Extra) {
  std::string R = "{\"lines\": [";
  for (size_t I = 0; I < Lines.size(); ++I) R += (I ? ", " : "") + Json(Lines[I]);
  return R + "]" + Extra + "}";
}

std::vector<std::string> RecordLines(const std::string& Category, uint32_t Id,
                                     const std::vector<int>& Starts, int LeadOut,
                                     const std::vector<std::string>& Body) {
  std::vector<std::string> R = {"210 " + Category + " " + Hex8(Id) + " CD database entry follows",
                                "# xmcd", "#", "# Track frame offsets:"};
  for (const int S : Starts) R.push_back("#\t" + std::to_string(S + 150));
  R.push_back("#");
  R.push_back("# Disc length: " + std::to_string((LeadOut + 150) / 75) + " seconds");
  R.push_back("#");
  R.push_back("# Revision: 1");
  R.push_back("#");
  R.push_back("DISCID=" + Hex8(Id));
  R.insert(R.end(), Body.begin(), Body.end());
  R.push_back(".");
  return R;
}

std::string SitesReply() {
  return Reply({"210 OK, site information follows (list follows until terminating `.')",
                "127.0.0.1 http 80 /~cddb/cddb.cgi N000.00 W000.00 Test server", "."});
}

TCddbTestServer::TCddbTestServer() {
  const std::string Py = Python(), Server = Script("cddb_server.py");
  // A server left behind by a crashed test ends by itself.
  std::ofstream(FDir.Path("lifetime")) << "120";
  char* Argv[] = {const_cast<char*>(Py.c_str()), const_cast<char*>(Server.c_str()),
                  const_cast<char*>(FDir.Dir().c_str()), nullptr};
  // Its output goes nowhere: a test that dies leaves no server holding the
  // test's output open (the server then ends with its parent).
  posix_spawn_file_actions_t Files;
  posix_spawn_file_actions_init(&Files);
  for (int Fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&Files, Fd, "/dev/null", O_RDWR, 0);
  const int Spawned = posix_spawnp(&FPid, Argv[0], &Files, nullptr, Argv, environ);
  posix_spawn_file_actions_destroy(&Files);
  if (Spawned != 0) {
    FPid = -1;
    return;
  }
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < Until) {
    const std::string Port = Slurp(FDir.Path("port"));
    if (!Port.empty()) {
      FPort = std::stoi(Port);
      return;
    }
    int Status;
    if (waitpid(FPid, &Status, WNOHANG) == FPid) {
      FPid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TCddbTestServer::~TCddbTestServer() {
  if (FPid <= 0) return;
  kill(FPid, SIGTERM);
  int Status;
  waitpid(FPid, &Status, 0);
}

std::string TCddbTestServer::Address() const { return "127.0.0.1:" + std::to_string(FPort); }

void TCddbTestServer::SetScenario(const std::string& Text) {
  // Written whole, then renamed: the server never reads half a scenario.
  const std::string Part = FDir.Path("scenario.json.part");
  std::ofstream(Part, std::ios::binary) << Text;
  std::filesystem::rename(Part, FDir.Path("scenario.json"));
}

std::vector<std::string> TCddbTestServer::Requests() const {
  std::vector<std::string> R;
  std::istringstream In(Slurp(FDir.Path("requests")));
  for (std::string Line; std::getline(In, Line);) R.push_back(Line);
  return R;
}

void TCddbTestServer::OpenGate() { std::ofstream(FDir.Path("gate")) << "open"; }

void TCddbTestServer::CloseGate() { std::filesystem::remove(FDir.Path("gate")); }

}  // namespace testing_support
