// Pieces every velmora-cli command shares: argument parsing, running one sink
// job to its end, and the error line.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "codecs/CodecRegistry.h"
#include "engine/ACS_Classes.h"

struct TCliArgs {
  std::vector<std::string> Positional;
  TJobOptions Options;
};

// Splits Args into positional words and options. ValueOptions take the next
// word as their value; FlagOptions take none. Anything else that starts with
// "--" raises EACSException("Unknown option ..."). A lone "--" ends the
// options: every word after it is positional.
TCliArgs ParseArgs(const std::vector<std::string>& Args, const std::set<std::string>& ValueOptions,
                   const std::set<std::string>& FlagOptions);

// Runs Sink (its input already set) until the job ends: prints the integer
// progress to stderr each time it changes (when PrintProgress), turns Ctrl+C
// into Stop so that the output is completed properly. Returns 0 when the job
// ended through OnDone, 1 (after printing the error) when it failed, and
// InterruptedExit (after printing "Stopped.") when Ctrl+C ended it, unless
// StopIsTheEnd (a recording that runs until Ctrl+C), when that is 0. OnEnd,
// when given, runs once the job has ended, before anything is printed;
// OnStarted once the job has started (its output is prepared). Enough, when
// given, is asked every 50 ms while the job runs: once it answers true the
// job is stopped, and that stop is its ordinary end.
int RunSinkJob(TACSOutput& Sink, bool PrintProgress, const std::function<void()>& OnEnd = {},
               const std::function<void()>& OnStarted = {}, bool StopIsTheEnd = false,
               const std::function<bool()>& Enough = {});

// The exit status of a job that Ctrl+C cut short (128 + SIGINT, as shells
// report it).
constexpr int InterruptedExit = 130;

// Raises EACSException("<File>: <the system's reason>") unless File is a
// file (not a folder) that can be opened for reading.
void CheckReadable(const std::string& File);

// Prints "Runtime error: " and Message to stderr; returns 1.
int ReportError(const std::string& Message);

// True once Ctrl+C (SIGINT) or SIGTERM arrived while a job was running.
bool InterruptRequested();
void InstallInterruptHandler();

// The commands, one per file.
int CmdInfo(const std::vector<std::string>& Args);
int CmdConvert(const std::vector<std::string>& Args);
int CmdDevices(const std::vector<std::string>& Args);
int CmdRecord(const std::vector<std::string>& Args);
int CmdPlay(const std::vector<std::string>& Args);
int CmdMonitor(const std::vector<std::string>& Args);
int CmdMix(const std::vector<std::string>& Args);
int CmdCd(const std::vector<std::string>& Args);
int CmdKaraoke(const std::vector<std::string>& Args);
int CmdBatch(const std::vector<std::string>& Args);
