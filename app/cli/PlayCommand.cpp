// velmora-cli play: a file through the player library, as the window plays
// its background song, with the position on the terminal.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/cli/CliCommon.h"
#include "devices/XaudioPlayer.h"
#include "platform/ProgramFolder.h"

namespace {

// "m:ss": minutes without limit, two-digit seconds.
std::string Clock(int64_t Seconds) {
  char B[32];
  std::snprintf(B, sizeof B, "%lld:%02lld", static_cast<long long>(Seconds / 60),
                static_cast<long long>(Seconds % 60));
  return B;
}

}  // namespace

int CmdPlay(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--device"}, {});
  if (A.Positional.size() != 1) throw EACSException("Usage: velmora-cli play FILE [--device N]");
  const std::string& Name = A.Positional[0];
  if (!FileExists(Name)) throw EACSException("File not found: " + Name);

  // What the player reports; delivered on this thread.
  int State = -1;
  bool Answered = false;  // the play command was answered
  std::string Error;
  uint32_t DurationMs = 0;
  int64_t Shown = -1;
  const bool Terminal = ::isatty(2) != 0;
  auto Show = [&](int64_t Seconds) {
    if (Seconds == Shown) return;
    Shown = Seconds;
    const std::string Line = Clock(Seconds) + " / " + Clock(DurationMs / 1000);
    if (Terminal)
      std::fprintf(stderr, "\r%s ", Line.c_str());
    else
      std::fprintf(stderr, "%s\n", Line.c_str());
  };

  TOwned<TXaudioPlayer> P(new TXaudioPlayer(nullptr));
  P->SetXaudioPath(ProgramFolder() + "libAudioPlayer.so");
  P->OnNotifyPlayerState = [&](TComponent*, int S) { State = S; };
  P->OnNotifyStreamDuration = [&](TComponent*, uint32_t Ms) { DurationMs = Ms; };
  P->OnNotifyError = [&](TComponent*, uint8_t, int16_t, const std::string& M) {
    if (Error.empty()) Error = M;
  };
  P->OnNotifyAck = [&](TComponent*, uint8_t C) { Answered = Answered || C == XA_MSG_COMMAND_PLAY; };
  P->OnNotifyNack = [&](TComponent*, uint8_t C, int16_t Code) {
    if (C != XA_MSG_COMMAND_PLAY && C != XA_MSG_COMMAND_INPUT_OPEN) return;
    Answered = true;
    if (Error.empty()) Error = "Cannot play " + Name + ": " + P->ErrorString(Code);
  };
  P->OnNotifyInputTimecode = [&](TComponent*, uint8_t H, uint8_t M, uint8_t S, uint8_t) {
    if (State == XA_PLAYER_STATE_PLAYING) Show(H * 3600 + M * 60 + S);
  };
  auto Deliver = [&] {
    if (P->WaitForNotification(std::chrono::milliseconds(100))) P->DeliverNotifications();
  };

  if (A.Options.Has("--device")) {
    const long long Device = A.Options.Int("--device", 0);
    if (Device < 0 || Device > 1 << 20)
      throw EACSException("Option --device must be between 0 and " + std::to_string(1 << 20));
    P->SetOutputName(std::to_string(Device));
  }
  // The file is opened at once: one that cannot be played is refused here,
  // with its reason in the error notification that follows.
  P->OpenInput(Name);
  P->PlayInput();
  while (!Answered) Deliver();
  if (!Error.empty()) return ReportError(Error);

  bool Stopping = false;
  while (State != XA_PLAYER_STATE_EOS && !(Stopping && State == XA_PLAYER_STATE_STOPPED)) {
    if (InterruptRequested() && !Stopping) {
      Stopping = true;
      P->StopInput();
    }
    Deliver();
    // A failure while playing stops the player.
    if (!Error.empty() && State == XA_PLAYER_STATE_STOPPED) break;
  }
  if (State == XA_PLAYER_STATE_EOS) Show(DurationMs / 1000);
  if (Terminal && Shown >= 0) std::fprintf(stderr, "\n");
  P->CloseInput();
  if (!Error.empty()) return ReportError(Error);
  return 0;
}
