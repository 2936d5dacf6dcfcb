#include "app/cli/ProgressDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "engine/ACS_Classes.h"

namespace {

std::atomic<int> GStyle{-1};  // -1: not chosen yet

int TerminalColumns() {
  struct winsize W {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &W) == 0 && W.ws_col > 0) return W.ws_col;
  return 80;
}

std::string Format(const char* Pattern, double A) {
  char B[64];
  std::snprintf(B, sizeof B, Pattern, A);
  return B;
}

// "12.3×" below 100, "345×" above.
std::string Speed(double AudioSeconds, double WallSeconds) {
  if (WallSeconds <= 0 || AudioSeconds <= 0) return "";
  const double X = AudioSeconds / WallSeconds;
  return Format(X < 100 ? "%.1f\xc3\x97 real time" : "%.0f\xc3\x97 real time", X);
}

}  // namespace

TProgressStyle TakeProgressOption(std::vector<std::string>& Args) {
  TProgressStyle Style =
      ::isatty(STDERR_FILENO) == 1 ? TProgressStyle::InPlace : TProgressStyle::Lines;
  for (size_t I = 0; I < Args.size(); ++I) {
    if (Args[I] == "--") break;
    std::string Value;
    size_t Taken = 0;
    if (Args[I].rfind("--progress=", 0) == 0) {
      Value = Args[I].substr(11);
      Taken = 1;
    } else if (Args[I] == "--progress") {
      if (I + 1 >= Args.size()) throw EACSException("Option --progress needs a value");
      Value = Args[I + 1];
      Taken = 2;
    } else {
      continue;
    }
    if (Value == "lines")
      Style = TProgressStyle::Lines;
    else if (Value == "line")
      Style = TProgressStyle::InPlace;
    else
      throw EACSException("Option --progress must be lines or line");
    Args.erase(Args.begin() + static_cast<std::ptrdiff_t>(I),
               Args.begin() + static_cast<std::ptrdiff_t>(I + Taken));
    --I;
  }
  return Style;
}

void SetProgressStyle(TProgressStyle Style) { GStyle = static_cast<int>(Style); }

TProgressStyle ProgressStyle() {
  const int S = GStyle.load();
  if (S >= 0) return static_cast<TProgressStyle>(S);
  return ::isatty(STDERR_FILENO) == 1 ? TProgressStyle::InPlace : TProgressStyle::Lines;
}

std::string ClockText(double Seconds) {
  const long long S = std::llround(std::max(Seconds, 0.0));
  char B[32];
  if (S >= 3600)
    std::snprintf(B, sizeof B, "%lld:%02lld:%02lld", S / 3600, S / 60 % 60, S % 60);
  else
    std::snprintf(B, sizeof B, "%lld:%02lld", S / 60, S % 60);
  return B;
}

std::string ProgressLine(int Percent, double AudioSeconds, double WallSeconds, int Width) {
  std::string Tail;
  if (Percent >= 0) {
    Tail = Format("%3.0f%%", Percent);
  } else {
    Tail = ClockText(AudioSeconds) + " of audio";
  }
  const std::string X = Speed(AudioSeconds, WallSeconds);
  if (!X.empty()) Tail += "  " + X;
  if (Percent > 0 && Percent < 100 && WallSeconds >= 1)
    Tail += "  " + ClockText(WallSeconds * (100 - Percent) / Percent) + " left";
  // The bar takes what is left of the width, between 10 and 40 cells.
  const int TailCells = static_cast<int>(Tail.size()) - (X.empty() ? 0 : 1);  // "×" is 2 bytes
  const int Cells = std::clamp(Width - TailCells - 4, 0, 40);
  if (Percent < 0 || Cells < 10) return Tail.substr(0, static_cast<size_t>(std::max(Width, 0)));
  const int Full = Cells * Percent / 100;
  return "[" + std::string(static_cast<size_t>(Full), '#') +
         std::string(static_cast<size_t>(Cells - Full), '-') + "] " + Tail;
}

TProgressDisplay::TProgressDisplay(TProgressStyle Style)
    : FStyle(Style), FStart(std::chrono::steady_clock::now()) {}

TProgressDisplay::~TProgressDisplay() {
  // A job that ended through an exception still leaves the terminal's line
  // clean for the error that follows.
  if (FStyle == TProgressStyle::InPlace && FDrawn && !FFinished) std::fputs("\n", stderr);
}

void TProgressDisplay::Update(int Percent, double AudioSeconds) {
  std::lock_guard<std::mutex> L(FLock);
  if (FFinished) return;
  const bool Changed = Percent != FPercent;
  FPercent = Percent;
  FAudio = AudioSeconds;
  if (FStyle == TProgressStyle::Lines) {
    if (Changed) std::fprintf(stderr, "%d\n", Percent);
    return;
  }
  Draw(Changed && Percent == 100);
}

void TProgressDisplay::Draw(bool Force) {
  const auto Now = std::chrono::steady_clock::now();
  if (!Force && FDrawn && Now - FLastDraw < std::chrono::milliseconds(100)) return;
  FLastDraw = Now;
  FDrawn = true;
  const double Wall = std::chrono::duration<double>(Now - FStart).count();
  const std::string Line =
      ProgressLine(FPercent, FAudio, Wall, std::min(TerminalColumns() - 1, 100));
  // Back to the start of the line, the new text, and the rest of the old cleared.
  std::fprintf(stderr, "\r%s\x1b[K", Line.c_str());
  std::fflush(stderr);
}

void TProgressDisplay::Finish(bool Completed, double AudioSeconds) {
  std::lock_guard<std::mutex> L(FLock);
  if (FFinished) return;
  FAudio = AudioSeconds;
  if (FStyle == TProgressStyle::InPlace) {
    if (Completed && FPercent >= 0) FPercent = 100;
    if (Completed || FDrawn) Draw(true);
    std::fputs("\n", stderr);
  }
  FFinished = true;
  if (!Completed) return;
  const double Wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  const std::string X = Speed(AudioSeconds, Wall);
  std::fprintf(stderr, "%s of audio in %s%s%s\n", ClockText(AudioSeconds).c_str(),
               Format(Wall < 10 ? "%.1f s" : "%.0f s", Wall).c_str(), X.empty() ? "" : ": ",
               X.c_str());
}
