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

namespace {

// Characters of UTF-8 Text (each taken as one cell of the terminal).
int CellCount(const std::string& Text) {
  int N = 0;
  for (const char C : Text) N += (static_cast<unsigned char>(C) & 0xC0) != 0x80;
  return N;
}

// Text cut to Cells characters (UTF-8 sequences kept whole).
std::string FitCells(const std::string& Text, int Cells) {
  int Seen = 0;
  for (size_t I = 0; I < Text.size(); ++I) {
    if ((static_cast<unsigned char>(Text[I]) & 0xC0) == 0x80) continue;
    if (Seen++ == Cells) return Text.substr(0, I);
  }
  return Text;
}

}  // namespace

std::string ProgressLine(int Percent, double AudioSeconds, double WallSeconds, int Width,
                         const std::string& Extra) {
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
  // The bar takes what is left of the width beside the figures, between 10
  // and 40 cells (20 when the extra text needs the room too); the extra text
  // gets what is left after that.
  const int Cells = std::clamp(Width - CellCount(Tail) - 3, 0, Extra.empty() ? 40 : 20);
  if (!Extra.empty()) Tail += "  " + Extra;
  if (Percent < 0 || Cells < 10) return FitCells(Tail, std::max(Width, 0));
  const int Full = Cells * Percent / 100;
  return FitCells("[" + std::string(static_cast<size_t>(Full), '#') +
                      std::string(static_cast<size_t>(Cells - Full), '-') + "] " + Tail,
                  std::max(Width, 0));
}

TProgressDisplay::TProgressDisplay(TProgressStyle Style)
    : FStyle(Style), FStart(std::chrono::steady_clock::now()) {}

TProgressDisplay::~TProgressDisplay() {
  // A job that ended through an exception still leaves the terminal's line
  // clean for the error that follows.
  if (FStyle == TProgressStyle::InPlace && FDrawn && !FFinished) std::fputs("\n", stderr);
}

void TProgressDisplay::Update(int Percent, double AudioSeconds, const std::string& Extra) {
  std::lock_guard<std::mutex> L(FLock);
  if (FFinished) return;
  const bool Changed = Percent != FPercent;
  FPercent = Percent;
  FAudio = AudioSeconds;
  FExtra = Extra;
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
      ProgressLine(FPercent, FAudio, Wall, std::min(TerminalColumns() - 1, 160), FExtra);
  // Back to the start of the line, the new text, and the rest of the old cleared.
  std::fprintf(stderr, "\r%s\x1b[K", Line.c_str());
  std::fflush(stderr);
}

void TProgressDisplay::Say(const std::string& Line) {
  std::lock_guard<std::mutex> L(FLock);
  const bool Redraw = FStyle == TProgressStyle::InPlace && FDrawn && !FFinished;
  if (Redraw) std::fputs("\r\x1b[K", stderr);
  std::fprintf(stderr, "%s\n", Line.c_str());
  if (Redraw) Draw(true);
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
