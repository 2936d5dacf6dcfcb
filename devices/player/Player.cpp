#include "devices/player/Player.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "platform/PulseSoundCard.h"

namespace player {

namespace {

// The notification group a code belongs to (XA_NOTIFY_MASK_*); 0 for the two
// that are always sent.
uint32_t GroupOf(int Code) {
  switch (Code) {
    case XA_MSG_NOTIFY_READY:
    case XA_MSG_NOTIFY_EXITED:
      return 0;
    case XA_MSG_NOTIFY_ACK:
      return XA_NOTIFY_MASK_ACK;
    case XA_MSG_NOTIFY_NACK:
      return XA_NOTIFY_MASK_NACK;
    case XA_MSG_NOTIFY_PLAYER_STATE:
    case XA_MSG_NOTIFY_PLAYER_MODE:
      return XA_NOTIFY_MASK_PLAYER_STATE;
    case XA_MSG_NOTIFY_INPUT_STATE:
    case XA_MSG_NOTIFY_INPUT_NAME:
    case XA_MSG_NOTIFY_INPUT_CAPS:
    case XA_MSG_NOTIFY_INPUT_MODULE:
      return XA_NOTIFY_MASK_INPUT_STATE;
    case XA_MSG_NOTIFY_INPUT_POSITION:
    case XA_MSG_NOTIFY_INPUT_POSITION_RANGE:
      return XA_NOTIFY_MASK_INPUT_POSITION;
    case XA_MSG_NOTIFY_INPUT_TIMECODE:
    case XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY:
      return XA_NOTIFY_MASK_INPUT_TIMECODE;
    case XA_MSG_NOTIFY_OUTPUT_STATE:
    case XA_MSG_NOTIFY_OUTPUT_NAME:
    case XA_MSG_NOTIFY_OUTPUT_CAPS:
    case XA_MSG_NOTIFY_OUTPUT_VOLUME:
    case XA_MSG_NOTIFY_OUTPUT_MODULE:
      return XA_NOTIFY_MASK_OUTPUT_STATE;
    case XA_MSG_NOTIFY_STREAM_MIME_TYPE:
    case XA_MSG_NOTIFY_STREAM_DURATION:
    case XA_MSG_NOTIFY_STREAM_PARAMETERS:
    case XA_MSG_NOTIFY_STREAM_PROPERTIES:
      return XA_NOTIFY_MASK_STREAM;
    case XA_MSG_NOTIFY_ERROR:
      return XA_NOTIFY_MASK_ERROR;
    case XA_MSG_NOTIFY_DEBUG:
      return XA_NOTIFY_MASK_DEBUG;
    case XA_MSG_NOTIFY_PROGRESS:
      return XA_NOTIFY_MASK_PROGRESS;
    default:
      return XA_NOTIFY_MASK_OTHER;
  }
}

// The commands this player carries out; the others are refused as not
// supported.
bool Supported(int Code) {
  switch (Code) {
    case XA_MSG_COMMAND_SYNC:
    case XA_MSG_COMMAND_PING:
    case XA_MSG_COMMAND_PLAY:
    case XA_MSG_COMMAND_PAUSE:
    case XA_MSG_COMMAND_STOP:
    case XA_MSG_COMMAND_SEEK:
    case XA_MSG_COMMAND_INPUT_OPEN:
    case XA_MSG_COMMAND_INPUT_CLOSE:
    case XA_MSG_SET_PLAYER_MODE:
    case XA_MSG_GET_PLAYER_MODE:
    case XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER:
    case XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER:
    case XA_MSG_SET_PLAYER_ENVIRONMENT_STRING:
    case XA_MSG_GET_PLAYER_ENVIRONMENT_STRING:
    case XA_MSG_UNSET_PLAYER_ENVIRONMENT:
    case XA_MSG_GET_INPUT_NAME:
    case XA_MSG_SET_INPUT_POSITION_RANGE:
    case XA_MSG_GET_INPUT_POSITION_RANGE:
    case XA_MSG_SET_INPUT_TIMECODE_GRANULARITY:
    case XA_MSG_GET_INPUT_TIMECODE_GRANULARITY:
    case XA_MSG_SET_OUTPUT_NAME:
    case XA_MSG_GET_OUTPUT_NAME:
    case XA_MSG_SET_OUTPUT_VOLUME:
    case XA_MSG_GET_OUTPUT_VOLUME:
    case XA_MSG_SET_NOTIFICATION_MASK:
    case XA_MSG_GET_NOTIFICATION_MASK:
    case XA_MSG_SET_DEBUG_LEVEL:
    case XA_MSG_GET_DEBUG_LEVEL:
      return true;
    default:
      return false;
  }
}

// The arguments a supported command needs: texts, then integers.
bool ArgumentsFit(const TCommand& C) {
  auto Need = [&C](size_t Texts, size_t Ints) {
    return C.Texts.size() >= Texts && C.Ints.size() >= Ints;
  };
  switch (C.Code) {
    case XA_MSG_COMMAND_PING:
    case XA_MSG_SET_PLAYER_MODE:
    case XA_MSG_SET_NOTIFICATION_MASK:
      return Need(0, 1);
    case XA_MSG_COMMAND_SEEK:
      return Need(0, 2) && C.Ints[1] > 0 && C.Ints[0] >= 0 && C.Ints[0] <= C.Ints[1];
    case XA_MSG_SET_INPUT_POSITION_RANGE:
      return Need(0, 1) && C.Ints[0] > 0;
    case XA_MSG_SET_INPUT_TIMECODE_GRANULARITY:
      return Need(0, 1) && C.Ints[0] >= 10;
    case XA_MSG_SET_DEBUG_LEVEL:
      return Need(0, 1) && C.Ints[0] >= 0 && C.Ints[0] <= 255;
    case XA_MSG_SET_OUTPUT_VOLUME:
      return Need(0, 3) && std::all_of(C.Ints.begin(), C.Ints.begin() + 3,
                                       [](int V) { return V >= 0 && V <= 100; });
    case XA_MSG_COMMAND_INPUT_OPEN:
    case XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER:
    case XA_MSG_GET_PLAYER_ENVIRONMENT_STRING:
    case XA_MSG_UNSET_PLAYER_ENVIRONMENT:
      return Need(1, 0) && !C.Texts[0].empty();
    case XA_MSG_SET_OUTPUT_NAME:
      return Need(1, 0);
    case XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER:
      return Need(1, 1) && !C.Texts[0].empty();
    case XA_MSG_SET_PLAYER_ENVIRONMENT_STRING:
      return Need(2, 0) && !C.Texts[0].empty();
    default:
      return true;
  }
}

// The output device a name stands for: "" the default, else its number.
bool DeviceOf(const std::string& Name, int& Device) {
  Device = 0;
  if (Name.empty()) return true;
  if (Name.size() > 6 ||
      !std::all_of(Name.begin(), Name.end(), [](unsigned char C) { return std::isdigit(C); }))
    return false;
  Device = std::stoi(Name);
  return true;
}

constexpr int kNiceOf[5] = {10, 5, 0, -5, -10};

}  // namespace

TPlayer::TPlayer(const XA_NotifyTarget& Target) : FTarget(Target) {
  FThread = std::thread([this] { Execute(); });
  // The thread's id is needed by a priority set right after the start.
  FThreadId.wait(0);
}

TPlayer::~TPlayer() {
  {
    std::lock_guard<std::mutex> L(FLock);
    FExit = true;
  }
  FWake.notify_all();
  FThread.join();
}

int TPlayer::SetPriority(int Priority) {
  if (Priority < XA_CONTROL_PRIORITY_LOWEST || Priority > XA_CONTROL_PRIORITY_HIGHEST)
    return XA_ERROR_INVALID_PARAMETERS;
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(FThreadId.load()), kNiceOf[Priority]) != 0)
    return XA_ERROR_PERMISSION_DENIED;
  FPriority = Priority;
  return XA_SUCCESS;
}

int TPlayer::Send(TCommand C) {
  if (!Supported(C.Code)) {
    C.Refused = XA_ERROR_NOT_SUPPORTED;
  } else if (!ArgumentsFit(C)) {
    C.Refused = XA_ERROR_INVALID_PARAMETERS;
  } else if (C.Code == XA_MSG_COMMAND_INPUT_OPEN) {
    // Opened here, so that the sender learns at once of a file that cannot
    // be played; the player's thread only takes it over.
    try {
      C.Source = OpenPlayerSource(C.Texts[0]);
    } catch (const EOpenError& E) {
      C.Refused = E.Code();
      C.Reason = E.what();
    } catch (const std::bad_alloc&) {
      C.Refused = XA_ERROR_OUT_OF_MEMORY;
    }
  }
  const int Result = C.Refused;
  {
    std::lock_guard<std::mutex> L(FLock);
    FCommands.push_back(std::move(C));
  }
  FWake.notify_all();
  return Result;
}

// ---------------------------------------------------------------- the thread

void TPlayer::Execute() {
  FThreadId = static_cast<int>(::syscall(SYS_gettid));
  FThreadId.notify_all();
  XA_Message Ready{};
  Ready.code = XA_MSG_NOTIFY_READY;
  Notify(Ready);

  std::unique_lock<std::mutex> L(FLock);
  while (!FExit) {
    if (!FCommands.empty()) {
      TCommand C = std::move(FCommands.front());
      FCommands.pop_front();
      L.unlock();
      Handle(C);
      L.lock();
      continue;
    }
    if (FState == XA_PLAYER_STATE_PLAYING && FStarted) {
      if (!FInputOver && FQueued < kBlocksQueued) {
        L.unlock();
        try {
          FeedOne();
        } catch (const std::exception& E) {
          Fail(XA_SOURCE_INPUT, XA_ERROR_READ_FAILED, E.what());
        }
        // A device that stopped working gives every block straight back.
        if (FOutput && !FOutput->Error().empty())
          Fail(XA_SOURCE_OUTPUT, XA_ERROR_OUTPUT_FAILED, FOutput->Error());
        ReportPosition(false);
        L.lock();
        continue;
      }
      if (FInputOver && FQueued == 0) {
        L.unlock();
        EndOfStream();
        L.lock();
        continue;
      }
      // Blocks come back as they are played: the position moves meanwhile.
      FWake.wait_for(L, std::chrono::milliseconds(20));
      L.unlock();
      ReportPosition(false);
      L.lock();
      continue;
    }
    FWake.wait(L, [this] { return FExit || !FCommands.empty(); });
  }
  FCommands.clear();
  L.unlock();

  // Whatever plays ends without further notifications; the card gives back
  // its blocks before the stream is gone.
  FOutput.reset();
  FSource.reset();
  XA_Message Exited{};
  Exited.code = XA_MSG_NOTIFY_EXITED;
  Notify(Exited);
}

void TPlayer::Handle(TCommand& C) {
  if (C.Refused != XA_SUCCESS) {
    if (!C.Reason.empty())
      NotifyError(C.Code == XA_MSG_COMMAND_INPUT_OPEN ? XA_SOURCE_INPUT : XA_SOURCE_PLAYER,
                  C.Refused, C.Reason);
    NotifyNack(C.Code, C.Refused);
    return;
  }
  int R = XA_SUCCESS;
  try {
    switch (C.Code) {
      case XA_MSG_COMMAND_SYNC:
        break;
      case XA_MSG_COMMAND_PING:
        NotifyValue(XA_MSG_NOTIFY_PONG, static_cast<uint32_t>(C.Ints[0]));
        break;
      case XA_MSG_COMMAND_PLAY:
        R = Play();
        break;
      case XA_MSG_COMMAND_PAUSE:
        if (!FSource)
          R = XA_ERROR_NO_INPUT;
        else
          Pause();
        break;
      case XA_MSG_COMMAND_STOP:
        if (FSource) StopPlaying();
        break;
      case XA_MSG_COMMAND_SEEK:
        if (!FSource)
          R = XA_ERROR_NO_INPUT;
        else
          Seek(static_cast<uint32_t>(C.Ints[0]), static_cast<uint32_t>(C.Ints[1]));
        break;
      case XA_MSG_COMMAND_INPUT_OPEN:
        R = Open(C);
        break;
      case XA_MSG_COMMAND_INPUT_CLOSE:
        if (FSource) CloseInput();
        break;
      case XA_MSG_SET_PLAYER_MODE:
        FMode = C.Ints[0];
        [[fallthrough]];
      case XA_MSG_GET_PLAYER_MODE:
        NotifyState(XA_MSG_NOTIFY_PLAYER_MODE, FMode);
        break;
      case XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER:
        FIntegers[C.Texts[0]] = C.Ints[0];
        [[fallthrough]];
      case XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER: {
        auto It = FIntegers.find(C.Texts[0]);
        if (It == FIntegers.end()) {
          R = XA_ERROR_NO_SUCH_VARIABLE;
          break;
        }
        XA_Message M{};
        M.code = XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER;
        M.data.environment_integer.name = It->first.c_str();
        M.data.environment_integer.value = It->second;
        Notify(M);
        break;
      }
      case XA_MSG_SET_PLAYER_ENVIRONMENT_STRING:
        FStrings[C.Texts[0]] = C.Texts[1];
        [[fallthrough]];
      case XA_MSG_GET_PLAYER_ENVIRONMENT_STRING: {
        auto It = FStrings.find(C.Texts[0]);
        if (It == FStrings.end()) {
          R = XA_ERROR_NO_SUCH_VARIABLE;
          break;
        }
        XA_Message M{};
        M.code = XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING;
        M.data.environment_string.name = It->first.c_str();
        M.data.environment_string.value = It->second.c_str();
        Notify(M);
        break;
      }
      case XA_MSG_UNSET_PLAYER_ENVIRONMENT:
        if (FIntegers.erase(C.Texts[0]) + FStrings.erase(C.Texts[0]) == 0)
          R = XA_ERROR_NO_SUCH_VARIABLE;
        break;
      case XA_MSG_GET_INPUT_NAME:
        NotifyText(XA_MSG_NOTIFY_INPUT_NAME, FInputName);
        break;
      case XA_MSG_SET_INPUT_POSITION_RANGE:
        FPositionRange = C.Ints[0];
        NotifyState(XA_MSG_NOTIFY_INPUT_POSITION_RANGE, FPositionRange);
        ReportPosition(true);
        break;
      case XA_MSG_GET_INPUT_POSITION_RANGE:
        NotifyState(XA_MSG_NOTIFY_INPUT_POSITION_RANGE, FPositionRange);
        break;
      case XA_MSG_SET_INPUT_TIMECODE_GRANULARITY:
        FGranularity = static_cast<uint32_t>(C.Ints[0]);
        [[fallthrough]];
      case XA_MSG_GET_INPUT_TIMECODE_GRANULARITY:
        NotifyValue(XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY, FGranularity);
        break;
      case XA_MSG_SET_OUTPUT_NAME: {
        int Device = 0;
        if (!DeviceOf(C.Texts[0], Device)) {
          R = XA_ERROR_NO_SUCH_DEVICE;
          break;
        }
        // The next output opened uses it.
        FOutputName = C.Texts[0];
        NotifyText(XA_MSG_NOTIFY_OUTPUT_NAME, FOutputName);
        break;
      }
      case XA_MSG_GET_OUTPUT_NAME:
        NotifyText(XA_MSG_NOTIFY_OUTPUT_NAME, FOutputName);
        break;
      case XA_MSG_SET_OUTPUT_VOLUME:
        FMaster = C.Ints[0];
        FPcm = C.Ints[1];
        FBalance = C.Ints[2];
        [[fallthrough]];
      case XA_MSG_GET_OUTPUT_VOLUME:
        NotifyVolume();
        break;
      case XA_MSG_SET_NOTIFICATION_MASK:
        FMask = static_cast<uint32_t>(C.Ints[0]);
        [[fallthrough]];
      case XA_MSG_GET_NOTIFICATION_MASK:
        NotifyValue(XA_MSG_NOTIFY_NOTIFICATION_MASK, FMask);
        break;
      case XA_MSG_SET_DEBUG_LEVEL:
        FDebugLevel = C.Ints[0];
        [[fallthrough]];
      case XA_MSG_GET_DEBUG_LEVEL: {
        XA_Message M{};
        M.code = XA_MSG_NOTIFY_DEBUG_LEVEL;
        M.data.level = static_cast<uint8_t>(FDebugLevel);
        Notify(M);
        break;
      }
      default:
        R = XA_ERROR_NOT_SUPPORTED;
        break;
    }
  } catch (const std::exception& E) {
    R = XA_FAILURE;
    NotifyError(XA_SOURCE_PLAYER, R, E.what());
  }
  if (R == XA_SUCCESS)
    NotifyAck(C.Code);
  else
    NotifyNack(C.Code, R);
}

// ---------------------------------------------------------------- commands

int TPlayer::Open(TCommand& C) {
  if (FSource) CloseInput();
  FSource = std::move(C.Source);
  FInputName = C.Texts[0];
  FBaseMs = 0;
  FStarted = false;
  FInputOver = false;
  FLastOffset = FLastTimecodeStep = -1;
  {
    std::lock_guard<std::mutex> L(FLock);
    FBytesPlayed = 0;
  }
  NotifyState(XA_MSG_NOTIFY_INPUT_STATE, XA_INPUT_STATE_OPEN);
  NotifyText(XA_MSG_NOTIFY_INPUT_NAME, FInputName);
  NotifyValue(XA_MSG_NOTIFY_INPUT_CAPS, XA_INPUT_CAN_SEEK | XA_INPUT_CAN_PAUSE);
  NotifyStream();
  NotifyDebug(1, "input opened: " + FInputName);
  if (FState != XA_PLAYER_STATE_STOPPED) {
    FState = XA_PLAYER_STATE_STOPPED;
    NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
  }
  ReportPosition(true);
  return XA_SUCCESS;
}

int TPlayer::Play() {
  if (!FSource) return XA_ERROR_NO_INPUT;
  if (FState == XA_PLAYER_STATE_PLAYING) return XA_SUCCESS;
  if (FState == XA_PLAYER_STATE_EOS) FBaseMs = 0;
  if (!FStarted) {
    try {
      Restart();
    } catch (const EOpenError& E) {
      NotifyError(XA_SOURCE_INPUT, E.Code(), E.what());
      return E.Code();
    }
  }
  const TPcmFormat& F = FSource->Format;
  if (FOutput &&
      (F.SampleRate != FOutputFormat.SampleRate || F.Channels != FOutputFormat.Channels ||
       F.BitsPerSample != FOutputFormat.BitsPerSample))
    CloseOutput();
  if (!FOutput) {
    const int R = OpenOutput();
    if (R != XA_SUCCESS) return R;
  }
  FState = XA_PLAYER_STATE_PLAYING;
  NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
  NotifyDebug(1, "playing");
  return XA_SUCCESS;
}

void TPlayer::Pause() {
  // What the card holds still plays (a few tenths of a second at most); no
  // more is handed to it until the next play.
  if (FState != XA_PLAYER_STATE_PLAYING) return;
  FState = XA_PLAYER_STATE_PAUSED;
  NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
}

void TPlayer::StopPlaying() {
  CloseOutput();
  FSource->Stop();
  FStarted = false;
  FInputOver = false;
  FBaseMs = 0;
  {
    std::lock_guard<std::mutex> L(FLock);
    FBytesPlayed = 0;
  }
  if (FState != XA_PLAYER_STATE_STOPPED) {
    FState = XA_PLAYER_STATE_STOPPED;
    NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
  }
  ReportPosition(true);
}

void TPlayer::Seek(uint32_t Offset, uint32_t Range) {
  FBaseMs = static_cast<int64_t>(Offset) * FSource->DurationMs / Range;
  if (FState == XA_PLAYER_STATE_EOS) {
    FState = XA_PLAYER_STATE_STOPPED;
    NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
  }
  if (FStarted) {
    Restart();
  } else {
    std::lock_guard<std::mutex> L(FLock);
    FBytesPlayed = 0;
  }
  ReportPosition(true);
}

void TPlayer::CloseInput() {
  StopPlaying();
  FSource.reset();
  FInputName.clear();
  NotifyState(XA_MSG_NOTIFY_INPUT_STATE, XA_INPUT_STATE_CLOSED);
}

// ---------------------------------------------------------------- playing

int TPlayer::OpenOutput() {
  int Device = 0;
  if (!DeviceOf(FOutputName, Device)) return XA_ERROR_NO_SUCH_DEVICE;
  try {
    auto Done = [this](TSoundBlock* B) { BlockDone(B); };
    TSoundCard& Card = CurrentSoundCard();
    if (auto* Server = dynamic_cast<TPulseSoundCard*>(&Card)) {
      // A song rather than a live signal: more of it queued at the server
      // rides out stalls of this program on a busy machine, at the cost of a
      // later start. The same server, devices and playback volume.
      TPulseSoundCard Buffered(Server->Server(), kServerQueueMs);
      FOutput = Buffered.OpenPlayback(Device, FSource->Format, Done);
    } else {
      FOutput = Card.OpenPlayback(Device, FSource->Format, Done);
    }
  } catch (const std::exception& E) {
    NotifyError(XA_SOURCE_OUTPUT, XA_ERROR_OUTPUT_FAILED, E.what());
    return XA_ERROR_OUTPUT_FAILED;
  }
  FOutputFormat = FSource->Format;
  {
    std::lock_guard<std::mutex> L(FLock);
    while (FAllBlocks.size() < static_cast<size_t>(kBlocksQueued)) {
      FAllBlocks.push_back(std::make_unique<TSoundBlock>(kBlockBytes));
      FFreeBlocks.push_back(FAllBlocks.back().get());
    }
  }
  NotifyState(XA_MSG_NOTIFY_OUTPUT_STATE, XA_OUTPUT_STATE_OPEN);
  NotifyText(XA_MSG_NOTIFY_OUTPUT_NAME, FOutputName);
  return XA_SUCCESS;
}

void TPlayer::CloseOutput() {
  if (!FOutput) return;
  // Every block comes back before the stream is gone.
  FOutput.reset();
  NotifyState(XA_MSG_NOTIFY_OUTPUT_STATE, XA_OUTPUT_STATE_CLOSED);
}

void TPlayer::Restart() {
  // The card gives back what it holds, unplayed.
  if (FOutput) FOutput->Reset();
  {
    std::lock_guard<std::mutex> L(FLock);
    FBytesPlayed = 0;
  }
  FStarted = false;
  FInputOver = false;
  FSource->Start(FBaseMs);
  FStarted = true;
  FLastOffset = FLastTimecodeStep = -1;
}

bool TPlayer::FeedOne() {
  TSoundBlock* B;
  {
    std::lock_guard<std::mutex> L(FLock);
    if (FFreeBlocks.empty()) return true;
    B = FFreeBlocks.back();
    FFreeBlocks.pop_back();
  }
  B->Data.resize(kBlockBytes);
  int Got = 0;
  try {
    while (Got < kBlockBytes) {
      const int N = FSource->Read(B->Data.data() + Got, kBlockBytes - Got);
      if (N <= 0) break;
      Got += N;
    }
  } catch (...) {
    std::lock_guard<std::mutex> L(FLock);
    FFreeBlocks.push_back(B);
    throw;
  }
  if (Got == 0) {
    FInputOver = true;
    std::lock_guard<std::mutex> L(FLock);
    FFreeBlocks.push_back(B);
    return false;
  }
  B->Data.resize(static_cast<size_t>(Got));
  ApplyVolume(B->Data.data(), Got);
  {
    std::lock_guard<std::mutex> L(FLock);
    ++FQueued;
  }
  // Not under the lock: a failed stream gives the block straight back.
  FOutput->Add(B);
  return true;
}

void TPlayer::ApplyVolume(uint8_t* Data, int Bytes) const {
  if (FMaster == 100 && FPcm == 100 && FBalance == 50) return;
  const double Gain = FMaster / 100.0 * (FPcm / 100.0);
  // Balance 0 is all left, 100 all right: the other side fades out.
  const double Left = Gain * std::min(1.0, (100 - FBalance) / 50.0);
  const double Right = Gain * std::min(1.0, FBalance / 50.0);
  const int Channels = FOutputFormat.Channels;
  if (FOutputFormat.BitsPerSample == 16) {
    const int N = Bytes / 2;
    for (int I = 0; I < N; ++I) {
      int16_t S;
      std::memcpy(&S, Data + 2 * I, 2);
      const double G = Channels == 2 ? (I % 2 == 0 ? Left : Right) : Gain;
      S = static_cast<int16_t>(S * G);
      std::memcpy(Data + 2 * I, &S, 2);
    }
  } else {
    for (int I = 0; I < Bytes; ++I) {
      const double G = Channels == 2 ? (I % 2 == 0 ? Left : Right) : Gain;
      Data[I] = static_cast<uint8_t>(128 + (Data[I] - 128) * G);
    }
  }
}

void TPlayer::EndOfStream() {
  // The last blocks were handed to the server; wait until they are heard.
  if (FOutput) FOutput->Drain(3000);
  if (FMode & XA_PLAYER_MODE_LOOP) {
    FBaseMs = 0;
    try {
      Restart();
      return;
    } catch (const EOpenError& E) {
      NotifyError(XA_SOURCE_INPUT, E.Code(), E.what());
    }
  }
  CloseOutput();
  FSource->Stop();
  FStarted = false;
  // The position at the end first: a client that stops listening at the end
  // of the stream has seen it.
  ReportPosition(true);
  FState = XA_PLAYER_STATE_EOS;
  NotifyState(XA_MSG_NOTIFY_PLAYER_STATE, FState);
  NotifyDebug(1, "end of stream");
}

void TPlayer::BlockDone(TSoundBlock* Block) {
  {
    std::lock_guard<std::mutex> L(FLock);
    FFreeBlocks.push_back(Block);
    --FQueued;
    FBytesPlayed += static_cast<int64_t>(Block->Data.size());
  }
  FWake.notify_all();
}

int64_t TPlayer::PlayedMs() {
  const TPcmFormat& F = FOutput ? FOutputFormat : FSource->Format;
  int64_t Bytes;
  {
    std::lock_guard<std::mutex> L(FLock);
    Bytes = FBytesPlayed;
  }
  const int64_t Ms = FBaseMs + Bytes * 1000 / std::max(1, F.BytesPerSecond());
  return FSource->DurationMs > 0 ? std::min(Ms, FSource->DurationMs) : Ms;
}

void TPlayer::ReportPosition(bool Always) {
  if (!FSource) return;
  const int64_t Ms = PlayedMs();
  const int64_t Step = Ms / FGranularity;
  if (Always || Step != FLastTimecodeStep) {
    FLastTimecodeStep = Step;
    XA_Message M{};
    M.code = XA_MSG_NOTIFY_INPUT_TIMECODE;
    M.data.timecode.h = static_cast<uint8_t>(std::min<int64_t>(Ms / 3600000, 255));
    M.data.timecode.m = static_cast<uint8_t>(Ms / 60000 % 60);
    M.data.timecode.s = static_cast<uint8_t>(Ms / 1000 % 60);
    M.data.timecode.f = static_cast<uint8_t>(Ms % 1000 / 10);
    Notify(M);
  }
  const int64_t Duration = FSource->DurationMs;
  const int64_t Offset =
      Duration > 0 ? std::min<int64_t>(FPositionRange, Ms * FPositionRange / Duration) : 0;
  if (Always || Offset != FLastOffset) {
    FLastOffset = Offset;
    XA_Message M{};
    M.code = XA_MSG_NOTIFY_INPUT_POSITION;
    M.data.position.offset = static_cast<uint32_t>(Offset);
    M.data.position.range = static_cast<uint32_t>(FPositionRange);
    Notify(M);
  }
}

void TPlayer::Fail(int Source, int Code, const std::string& Reason) {
  NotifyError(Source, Code, Reason);
  StopPlaying();
}

// ---------------------------------------------------------------- notifications

void TPlayer::Notify(XA_Message& M) {
  const uint32_t Group = GroupOf(M.code);
  if (Group != 0 && (FMask & Group) == 0) return;
  if (FTarget.proc)
    FTarget.proc(FTarget.client, XA_NOTIFY_WINDOW_MESSAGE, static_cast<uintptr_t>(M.code),
                 reinterpret_cast<intptr_t>(&M));
}

void TPlayer::NotifyState(int Code, int State) {
  XA_Message M{};
  M.code = Code;
  M.data.state = State;
  Notify(M);
}

void TPlayer::NotifyText(int Code, const std::string& Text) {
  XA_Message M{};
  M.code = Code;
  M.data.name = Text.c_str();
  Notify(M);
}

void TPlayer::NotifyValue(int Code, uint32_t Value) {
  XA_Message M{};
  M.code = Code;
  M.data.value = Value;
  Notify(M);
}

void TPlayer::NotifyAck(int Command) {
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_ACK;
  M.data.ack = static_cast<uint8_t>(Command);
  Notify(M);
}

void TPlayer::NotifyNack(int Command, int Error) {
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_NACK;
  M.data.nack.command = static_cast<uint8_t>(Command);
  M.data.nack.code = static_cast<int16_t>(Error);
  Notify(M);
}

void TPlayer::NotifyError(int Source, int Error, const std::string& Text) {
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_ERROR;
  M.data.error.source = static_cast<uint8_t>(Source);
  M.data.error.code = static_cast<int16_t>(Error);
  M.data.error.message = Text.c_str();
  Notify(M);
}

void TPlayer::NotifyDebug(int Level, const std::string& Text) {
  if (Level > FDebugLevel) return;
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_DEBUG;
  M.data.debug.source = XA_SOURCE_PLAYER;
  M.data.debug.level = static_cast<uint8_t>(Level);
  M.data.debug.message = Text.c_str();
  Notify(M);
}

void TPlayer::NotifyStream() {
  const TPlayerSource& S = *FSource;
  NotifyText(XA_MSG_NOTIFY_STREAM_MIME_TYPE, S.MimeType);
  NotifyValue(XA_MSG_NOTIFY_STREAM_DURATION,
              static_cast<uint32_t>(std::min<int64_t>(S.DurationMs, UINT32_MAX)));
  XA_Message P{};
  P.code = XA_MSG_NOTIFY_STREAM_PARAMETERS;
  P.data.stream_parameters.frequency = static_cast<uint32_t>(S.Format.SampleRate);
  P.data.stream_parameters.bitrate = static_cast<int16_t>(std::min(S.BitRate, 32767));
  P.data.stream_parameters.nb_channels = static_cast<uint8_t>(S.Format.Channels);
  Notify(P);
  const XA_Property Properties[] = {
      {"bits_per_sample", XA_PROPERTY_TYPE_INTEGER, S.FileBits, nullptr},
      {"file_name", XA_PROPERTY_TYPE_STRING, 0, FInputName.c_str()},
  };
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_STREAM_PROPERTIES;
  M.data.properties.nb_properties = 2;
  M.data.properties.properties = Properties;
  Notify(M);
}

void TPlayer::NotifyVolume() {
  XA_Message M{};
  M.code = XA_MSG_NOTIFY_OUTPUT_VOLUME;
  M.data.volume.master_level = static_cast<uint8_t>(FMaster);
  M.data.volume.pcm_level = static_cast<uint8_t>(FPcm);
  M.data.volume.balance = static_cast<uint8_t>(FBalance);
  Notify(M);
}

}  // namespace player
