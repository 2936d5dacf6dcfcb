// How a job's progress reaches the person at the terminal. On a terminal one
// line is redrawn in place: a bar, the percent, the speed as a multiple of
// real time and the time left. Anywhere else (a pipe, a file, a script),
// or with --progress=lines, one integer per line each time the percent
// changes. When a job has run to its end, its speed is printed once.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

enum class TProgressStyle { Lines, InPlace };

// The style of this run: --progress=lines|line taken out of Args (it may
// stand anywhere after the command), otherwise in place when standard error
// is a terminal. Raises EACSException for another value.
TProgressStyle TakeProgressOption(std::vector<std::string>& Args);
void SetProgressStyle(TProgressStyle Style);
TProgressStyle ProgressStyle();

// The in-place line, Width columns at most: Percent is -1 when the job's
// length is not known, AudioSeconds the audio done, WallSeconds the time
// it took; Extra (which files, how many) follows as far as there is room.
std::string ProgressLine(int Percent, double AudioSeconds, double WallSeconds, int Width,
                         const std::string& Extra = "");

// "3:25", or "1:02:03" past an hour.
std::string ClockText(double Seconds);

// One job's display. Update may be called from any thread.
class TProgressDisplay {
 public:
  explicit TProgressDisplay(TProgressStyle Style = ProgressStyle());
  TProgressDisplay(const TProgressDisplay&) = delete;
  TProgressDisplay& operator=(const TProgressDisplay&) = delete;
  ~TProgressDisplay();

  // A new percent (each change) with the audio done so far. In place, the
  // line is redrawn at most ten times a second, and always at 100 %.
  void Update(int Percent, double AudioSeconds, const std::string& Extra = "");
  // A line of its own (a file that failed): in place, the progress line is
  // cleared first and drawn again below it.
  void Say(const std::string& Line);
  // The job is over: the line is ended (so that what follows starts on a
  // line of its own). When Completed, "<audio> of audio in <time>: N×
  // real time" follows once.
  void Finish(bool Completed, double AudioSeconds);

 private:
  void Draw(bool Force);
  TProgressStyle FStyle;
  std::mutex FLock;
  std::chrono::steady_clock::time_point FStart, FLastDraw;
  int FPercent = -2;
  double FAudio = 0;
  std::string FExtra;
  bool FDrawn = false, FFinished = false;
};
