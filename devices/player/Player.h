// One player of the library: a thread that carries out the commands in the
// order they were sent, plays the open input on the sound-card layer, and
// reports everything through the client's notification procedure.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/player/AudioPlayerApi.h"
#include "devices/player/PlayerSource.h"
#include "platform/SoundCard.h"

namespace player {

// A command as it waits in the queue: its code and arguments, copied.
struct TCommand {
  int Code = 0;
  std::vector<int> Ints;
  std::vector<std::string> Texts;
  // A command already refused by Send: the player only reports it.
  int Refused = XA_SUCCESS;
  std::string Reason;
  // XA_MSG_COMMAND_INPUT_OPEN: the file, opened on the sender's thread.
  std::unique_ptr<TPlayerSource> Source;
};

class TPlayer {
 public:
  // Starts the thread, which sends XA_MSG_NOTIFY_READY first.
  explicit TPlayer(const XA_NotifyTarget& Target);
  // Ends what plays, sends XA_MSG_NOTIFY_EXITED from the thread and joins it.
  ~TPlayer();
  TPlayer(const TPlayer&) = delete;
  TPlayer& operator=(const TPlayer&) = delete;

  // Any thread. Checks the command and queues it; the result is XA_SUCCESS or
  // the reason it was refused (it is then answered with a nack as well).
  int Send(TCommand C);

  int SetPriority(int Priority);
  int Priority() const { return FPriority.load(); }

  // Blocks of PCM handed to the sound card, and how many may wait there.
  static constexpr int kBlockBytes = 4096;
  static constexpr int kBlocksQueued = 8;
  // What the sound server keeps queued of the player's stream.
  static constexpr int kServerQueueMs = 200;

 private:
  void Execute();
  void Handle(TCommand& C);
  // The commands, each answering with an ack or a nack.
  int Open(TCommand& C);
  int Play();
  void Pause();
  void StopPlaying();
  void Seek(uint32_t Offset, uint32_t Range);
  void CloseInput();

  // Playing, on the player's thread.
  int OpenOutput();
  void CloseOutput();
  // Starts the source at the time FBaseMs, dropping what the card holds.
  void Restart();
  // Reads one block and hands it to the card; false when the input is over.
  bool FeedOne();
  void ApplyVolume(uint8_t* Data, int Bytes) const;
  void EndOfStream();
  // Called by the card with a block it played (or gave back).
  void BlockDone(TSoundBlock* Block);
  // The position now, and the notifications when it moved.
  int64_t PlayedMs();
  void ReportPosition(bool Always);
  // Reports the failure and stops playing.
  void Fail(int Source, int Code, const std::string& Reason);

  // Notifications, each checked against the mask.
  void Notify(XA_Message& M);
  void NotifyState(int Code, int State);
  void NotifyText(int Code, const std::string& Text);
  void NotifyValue(int Code, uint32_t Value);
  void NotifyAck(int Command);
  void NotifyNack(int Command, int Error);
  void NotifyError(int Source, int Error, const std::string& Text);
  void NotifyDebug(int Level, const std::string& Text);
  void NotifyStream();
  void NotifyVolume();

  const XA_NotifyTarget FTarget;
  std::atomic<int> FPriority{XA_CONTROL_PRIORITY_NORMAL};
  std::atomic<int> FThreadId{0};  // the player thread's kernel id, set before Ready

  // Shared between senders, the card's thread and the player's thread; all
  // guarded by FLock, signalled through FWake.
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TCommand> FCommands;
  bool FExit = false;
  std::vector<std::unique_ptr<TSoundBlock>> FAllBlocks;  // owner of every block
  std::vector<TSoundBlock*> FFreeBlocks;
  int FQueued = 0;           // blocks with the card
  int64_t FBytesPlayed = 0;  // since the last Restart

  // Everything below belongs to the player's thread.
  std::unique_ptr<TPlayerSource> FSource;
  std::string FInputName;
  std::unique_ptr<TSoundStream> FOutput;
  TPcmFormat FOutputFormat;
  int FState = XA_PLAYER_STATE_STOPPED;
  bool FStarted = false;  // the source delivers from FBaseMs
  bool FInputOver = false;
  int64_t FBaseMs = 0;  // where the current delivery started
  int64_t FLastTimecodeStep = -1;
  int64_t FLastOffset = -1;
  uint32_t FMask = 0xFFFFFFFFu;
  int FPositionRange = 400;
  uint32_t FGranularity = 1000;  // ms between time codes
  int FMode = 0;
  int FDebugLevel = 0;
  int FMaster = 100, FPcm = 100, FBalance = 50;
  std::string FOutputName;
  std::map<std::string, int> FIntegers;
  std::map<std::string, std::string> FStrings;

  std::thread FThread;
};

}  // namespace player
