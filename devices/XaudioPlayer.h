// The player component: plays audio files through the player library
// (libAudioPlayer.so or a library with the same interface), loaded at run
// time from XaudioPath, and turns the library's notifications into events.
//
// Threads. Commands are sent from the thread that owns the component (the
// window's). The library plays on a thread of its own and reports there; the
// component copies each notification at once (its texts and records live only
// for the library's call) and delivers it later on the owner's thread:
// through the function given to SetPostToOwner, or when the owner calls
// DeliverNotifications. Events are raised in the order the library sent them.
// Notifications not yet delivered when the component is destroyed are
// dropped; destruction deletes the player (which joins the library's thread)
// before the library is unloaded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/player/AudioPlayerApi.h"
#include "engine/Component.h"
#include "platform/DynamicLibrary.h"

// Start-up failures of the component: the library cannot be loaded, lacks an
// entry point, has another interface version, or cannot start a player.
class EXaudioException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TXaudioProperty {
  std::string Name;
  int Type = XA_PROPERTY_TYPE_INTEGER;
  int32_t Integer = 0;
  std::string Text;
};

// A notification, copied out of the library's call. Data holds its numbers
// (its text and record pointers are cleared); the texts are in Text1 and
// Text2 in the order its event passes them; a stream-properties message has
// its records in Properties, an equalizer message its record in Equalizer.
struct TXaudioMessage {
  int Code = 0;
  XA_Message Data{};
  std::string Text1, Text2;
  std::vector<TXaudioProperty> Properties;
  XA_EqualizerInfo Equalizer{};
};

using TXaNotifyEvent = std::function<void(TComponent* Sender)>;
using TXaMessageEvent = std::function<void(TComponent* Sender, const TXaudioMessage& Message)>;
using TXaAckEvent = std::function<void(TComponent* Sender, uint8_t Command)>;
using TXaNackEvent = std::function<void(TComponent* Sender, uint8_t Command, int16_t Code)>;
using TXaWordEvent = std::function<void(TComponent* Sender, uint32_t Value)>;
using TXaIntegerEvent = std::function<void(TComponent* Sender, int Value)>;
using TXaByteEvent = std::function<void(TComponent* Sender, uint8_t Value)>;
using TXaModuleEvent = std::function<void(TComponent* Sender, int16_t ID)>;
using TXaTextEvent = std::function<void(TComponent* Sender, const std::string& Text)>;
using TXaEnvironmentIntegerEvent =
    std::function<void(TComponent* Sender, const std::string& Name, int Value)>;
using TXaEnvironmentStringEvent =
    std::function<void(TComponent* Sender, const std::string& Name, const std::string& Value)>;
using TXaPositionEvent = std::function<void(TComponent* Sender, uint32_t Offset, uint32_t Range)>;
using TXaTimecodeEvent = std::function<void(TComponent* Sender, uint8_t Hours, uint8_t Minutes,
                                            uint8_t Seconds, uint8_t Fractions)>;
using TXaModuleInfoEvent =
    std::function<void(TComponent* Sender, uint8_t ID, uint8_t NbDevices, const std::string& Name,
                       const std::string& Description)>;
using TXaDeviceInfoEvent =
    std::function<void(TComponent* Sender, uint8_t ModuleID, uint8_t Index, uint8_t Flags,
                       const std::string& Name, const std::string& Description)>;
using TXaFilterInfoEvent =
    std::function<void(TComponent* Sender, uint8_t ID, const std::string& Name)>;
using TXaVolumeEvent =
    std::function<void(TComponent* Sender, uint8_t MasterLevel, uint8_t PcmLevel, uint8_t Balance)>;
using TXaStreamParametersEvent = std::function<void(TComponent* Sender, uint32_t Frequency,
                                                    int16_t Bitrate, uint8_t NbChannels)>;
using TXaStreamPropertiesEvent =
    std::function<void(TComponent* Sender, const std::vector<TXaudioProperty>& Properties)>;
using TXaEqualizerEvent =
    std::function<void(TComponent* Sender, const XA_EqualizerInfo& Equalizer)>;
using TXaProgressEvent = std::function<void(TComponent* Sender, uint8_t Source, uint8_t Code,
                                            int16_t Value, const std::string& Msg)>;
using TXaDebugEvent =
    std::function<void(TComponent* Sender, uint8_t Source, uint8_t Level, const std::string& Msg)>;
using TXaErrorEvent =
    std::function<void(TComponent* Sender, uint8_t Source, int16_t Code, const std::string& Msg)>;

// Runs Task on the thread that owns the player; called on the library's thread.
using TPostToOwner = std::function<void(std::function<void()> Task)>;

class TXaudioPlayer : public TComponent {
 public:
  explicit TXaudioPlayer(TComponent* AOwner);

  // The priority the player runs at; 3 keeps the library's own and is never
  // sent. Read: the library's value once a player exists.
  uint32_t Priority() const;
  void SetPriority(uint32_t Value);
  // The library file, loaded at the first command ("libxaudio.so" to start
  // with). A name without '/' goes through the normal library search.
  const std::string& XaudioPath() const { return FXaudioPath; }
  void SetXaudioPath(const std::string& Value) { FXaudioPath = Value; }

  // How notifications reach the owner's thread; empty (the default): they
  // wait for DeliverNotifications.
  void SetPostToOwner(TPostToOwner Post);
  // Owner's thread: raises the events of every notification received so far.
  void DeliverNotifications();
  // Owner's thread: waits until a notification is waiting or Bound passed;
  // true when one is waiting.
  bool WaitForNotification(std::chrono::milliseconds Bound);

  // Commands. Each loads the library and starts the player when they do not
  // exist yet (raising EXaudioException when that fails) and returns the
  // library's result: 0 when the command was taken.
  int OpenInput(const std::string& FileName) { return SendS(XA_MSG_COMMAND_INPUT_OPEN, FileName); }
  int PlayInput() { return SendN(XA_MSG_COMMAND_PLAY); }
  int StopInput() { return SendN(XA_MSG_COMMAND_STOP); }
  int CloseInput() { return SendN(XA_MSG_COMMAND_INPUT_CLOSE); }
  int Synchronize() { return SendN(XA_MSG_COMMAND_SYNC); }
  int Ping(uint32_t Tag) { return SendI(XA_MSG_COMMAND_PING, static_cast<int>(Tag)); }
  int PauseInput() { return SendN(XA_MSG_COMMAND_PAUSE); }
  int InputSeek(int Offset, int Range) { return SendII(XA_MSG_COMMAND_SEEK, Offset, Range); }
  int InputSendMessage(int Type, const void* Data, int Size) {
    return SendIPI(XA_MSG_COMMAND_INPUT_SEND_MESSAGE, Type, Data, Size);
  }
  int InputAddFilter(const std::string& Name, int Where) {
    return SendSI(XA_MSG_COMMAND_INPUT_ADD_FILTER, Name, Where);
  }
  int InputRemoveFilter(const std::string& Name, int ID) {
    return SendSI(XA_MSG_COMMAND_INPUT_REMOVE_FILTER, Name, ID);
  }
  int InputFiltersList() { return SendN(XA_MSG_COMMAND_INPUT_FILTERS_LIST); }
  int InputModuleRegister(const std::string& Name) {
    return SendS(XA_MSG_COMMAND_INPUT_MODULE_REGISTER, Name);
  }
  int InputModuleQuery(int ID) { return SendI(XA_MSG_COMMAND_INPUT_MODULE_QUERY, ID); }
  int InputModulesList() { return SendN(XA_MSG_COMMAND_INPUT_MODULES_LIST); }
  int OutputOpen(const std::string& Name) { return SendS(XA_MSG_COMMAND_OUTPUT_OPEN, Name); }
  int OutputClose() { return SendN(XA_MSG_COMMAND_OUTPUT_CLOSE); }
  int OutputSendMessage(int Type, const void* Data, int Size) {
    return SendIPI(XA_MSG_COMMAND_OUTPUT_SEND_MESSAGE, Type, Data, Size);
  }
  int OutputMute() { return SendN(XA_MSG_COMMAND_OUTPUT_MUTE); }
  int OutputUnmute() { return SendN(XA_MSG_COMMAND_OUTPUT_UNMUTE); }
  int OutputReset() { return SendN(XA_MSG_COMMAND_OUTPUT_RESET); }
  int OutputDrain() { return SendN(XA_MSG_COMMAND_OUTPUT_DRAIN); }
  int OutputAddFilter(const std::string& Name, int Where) {
    return SendSI(XA_MSG_COMMAND_OUTPUT_ADD_FILTER, Name, Where);
  }
  int OutputRemoveFilter(const std::string& Name, int ID) {
    return SendSI(XA_MSG_COMMAND_OUTPUT_REMOVE_FILTER, Name, ID);
  }
  int OutputFiltersList() { return SendN(XA_MSG_COMMAND_OUTPUT_FILTERS_LIST); }
  int OutputModuleRegister(const std::string& Name) {
    return SendS(XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER, Name);
  }
  int OutputModuleQuery(int ID) { return SendI(XA_MSG_COMMAND_OUTPUT_MODULE_QUERY, ID); }
  int OutputModulesList() { return SendN(XA_MSG_COMMAND_OUTPUT_MODULES_LIST); }
  int CodecSendMessage(int Type, const void* Data, int Size) {
    return SendIPI(XA_MSG_COMMAND_CODEC_SEND_MESSAGE, Type, Data, Size);
  }
  int CodecModuleRegister(const std::string& Name) {
    return SendS(XA_MSG_COMMAND_CODEC_MODULE_REGISTER, Name);
  }
  int CodecModuleQuery(int ID) { return SendI(XA_MSG_COMMAND_CODEC_MODULE_QUERY, ID); }
  int CodecModulesList() { return SendN(XA_MSG_COMMAND_CODEC_MODULES_LIST); }
  int SetPlayerMode(int Mode) { return SendI(XA_MSG_SET_PLAYER_MODE, Mode); }
  int GetPlayerMode() { return SendN(XA_MSG_GET_PLAYER_MODE); }
  int SetEnvironmentInteger(const std::string& Name, int Value) {
    return SendSI(XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER, Name, Value);
  }
  int GetEnvironmentInteger(const std::string& Name) {
    return SendS(XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER, Name);
  }
  int SetEnvironmentString(const std::string& Name, const std::string& Value) {
    return SendSS(XA_MSG_SET_PLAYER_ENVIRONMENT_STRING, Name, Value);
  }
  int GetEnvironmentString(const std::string& Name) {
    return SendS(XA_MSG_GET_PLAYER_ENVIRONMENT_STRING, Name);
  }
  int UnsetEnvironment(const std::string& Name) {
    return SendS(XA_MSG_UNSET_PLAYER_ENVIRONMENT, Name);
  }
  int SetInputName(const std::string& Name) { return SendS(XA_MSG_SET_INPUT_NAME, Name); }
  int GetInputName() { return SendN(XA_MSG_GET_INPUT_NAME); }
  int SetInputModule(int ID) { return SendI(XA_MSG_SET_INPUT_MODULE, ID); }
  int GetInputModule() { return SendN(XA_MSG_GET_INPUT_MODULE); }
  int SetInputPositionRange(int Range) { return SendI(XA_MSG_SET_INPUT_POSITION_RANGE, Range); }
  int GetInputPositionRange() { return SendN(XA_MSG_GET_INPUT_POSITION_RANGE); }
  int SetInputTimecodeGranularity(int Granularity) {
    return SendI(XA_MSG_SET_INPUT_TIMECODE_GRANULARITY, Granularity);
  }
  int GetInputTimecodeGranularity() { return SendN(XA_MSG_GET_INPUT_TIMECODE_GRANULARITY); }
  int SetOutputName(const std::string& Name) { return SendS(XA_MSG_SET_OUTPUT_NAME, Name); }
  int GetOutputName() { return SendN(XA_MSG_GET_OUTPUT_NAME); }
  int SetOutputModule(int ID) { return SendI(XA_MSG_SET_OUTPUT_MODULE, ID); }
  int GetOutputModule() { return SendN(XA_MSG_GET_OUTPUT_MODULE); }
  int SetOutputVolume(int MasterLevel, int PcmLevel, int Balance) {
    return SendIII(XA_MSG_SET_OUTPUT_VOLUME, MasterLevel, PcmLevel, Balance);
  }
  int GetOutputVolume() { return SendN(XA_MSG_GET_OUTPUT_VOLUME); }
  int SetOutputChannels(int Channels) { return SendI(XA_MSG_SET_OUTPUT_CHANNELS, Channels); }
  int GetOutputChannels() { return SendN(XA_MSG_GET_OUTPUT_CHANNELS); }
  int SetOutputPorts(int Ports) { return SendI(XA_MSG_SET_OUTPUT_PORTS, Ports); }
  int GetOutputPorts() { return SendN(XA_MSG_GET_OUTPUT_PORTS); }
  int SetCodecQuality(int Quality) { return SendI(XA_MSG_SET_CODEC_QUALITY, Quality); }
  int GetCodecQuality() { return SendN(XA_MSG_GET_CODEC_QUALITY); }
  int SetCodecEqualizer(const XA_EqualizerInfo* Equalizer) {
    return SendP(XA_MSG_SET_CODEC_EQUALIZER, Equalizer);
  }
  int GetCodecEqualizer() { return SendN(XA_MSG_GET_CODEC_EQUALIZER); }
  int SetNotificationMask(uint32_t Mask) {
    return SendI(XA_MSG_SET_NOTIFICATION_MASK, static_cast<int>(Mask));
  }
  int GetNotificationMask() { return SendN(XA_MSG_GET_NOTIFICATION_MASK); }
  int SetDebugLevel(int Level) { return SendI(XA_MSG_SET_DEBUG_LEVEL, Level); }
  int GetDebugLevel() { return SendN(XA_MSG_GET_DEBUG_LEVEL); }

  // Straight to the library (loaded if need be; no player is started).
  uint32_t Version();
  std::string ErrorString(int Code);

  // The events, raised on the owner's thread. OnNotifyMessage comes first for
  // every notification, then the event of its code.
  TXaMessageEvent OnNotifyMessage;
  TXaNotifyEvent OnNotifyReady;
  TXaAckEvent OnNotifyAck;
  TXaNackEvent OnNotifyNack;
  TXaWordEvent OnNotifyPong;
  TXaNotifyEvent OnNotifyExited;
  TXaIntegerEvent OnNotifyPlayerState;
  TXaIntegerEvent OnNotifyPlayerMode;
  TXaEnvironmentIntegerEvent OnNotifyPlayerEnvironmentInteger;
  TXaEnvironmentStringEvent OnNotifyPlayerEnvironmentString;
  TXaIntegerEvent OnNotifyInputState;
  TXaTextEvent OnNotifyInputName;
  TXaWordEvent OnNotifyInputCaps;
  TXaPositionEvent OnNotifyInputPosition;
  TXaIntegerEvent OnNotifyInputPositionRange;
  TXaTimecodeEvent OnNotifyInputTimecode;
  TXaWordEvent OnNotifyInputTimecodeGranularity;
  TXaModuleEvent OnNotifyInputModule;
  TXaModuleInfoEvent OnNotifyInputModuleInfo;
  TXaDeviceInfoEvent OnNotifyInputDeviceInfo;
  TXaFilterInfoEvent OnNotifyInputFilterInfo;
  TXaIntegerEvent OnNotifyOutputState;
  TXaTextEvent OnNotifyOutputName;
  TXaWordEvent OnNotifyOutputCaps;
  TXaVolumeEvent OnNotifyOutputVolume;
  TXaByteEvent OnNotifyOutputBalance;
  TXaByteEvent OnNotifyOutputPcmLevel;
  TXaByteEvent OnNotifyOutputMasterLevel;
  TXaByteEvent OnNotifyOutputChannels;
  TXaWordEvent OnNotifyOutputPorts;
  TXaModuleEvent OnNotifyOutputModule;
  TXaModuleInfoEvent OnNotifyOutputModuleInfo;
  TXaDeviceInfoEvent OnNotifyOutputDeviceInfo;
  TXaFilterInfoEvent OnNotifyOutputFilterInfo;
  TXaTextEvent OnNotifyStreamMimeType;
  TXaWordEvent OnNotifyStreamDuration;
  TXaStreamParametersEvent OnNotifyStreamParameters;
  TXaStreamPropertiesEvent OnNotifyStreamProperties;
  TXaByteEvent OnNotifyCodecQuality;
  TXaEqualizerEvent OnNotifyCodecEqualizer;
  TXaModuleEvent OnNotifyCodecModule;
  TXaModuleInfoEvent OnNotifyCodecModuleInfo;
  TXaDeviceInfoEvent OnNotifyCodecDeviceInfo;
  TXaWordEvent OnNotifyNotificationMask;
  TXaByteEvent OnNotifyDebugLevel;
  TXaProgressEvent OnNotifyProgress;
  TXaDebugEvent OnNotifyDebug;
  TXaErrorEvent OnNotifyError;

  // The library's entry points, in the order they are resolved.
  static const char* const kEntryPoints[17];

 protected:
  ~TXaudioPlayer() override;

 private:
  struct TInbox;
  struct TApi {
    XA_player_new player_new = nullptr;
    XA_player_delete player_delete = nullptr;
    XA_player_set_priority player_set_priority = nullptr;
    XA_player_get_priority player_get_priority = nullptr;
    XA_xaudio_error_string xaudio_error_string = nullptr;
    XA_xaudio_get_version xaudio_get_version = nullptr;
    XA_control_message_send_N control_message_send_N = nullptr;
    XA_control_message_send_P control_message_send_P = nullptr;
    XA_control_message_send_S control_message_send_S = nullptr;
    XA_control_message_send_SS control_message_send_SS = nullptr;
    XA_control_message_send_SI control_message_send_SI = nullptr;
    XA_control_message_send_IPI control_message_send_IPI = nullptr;
    XA_control_message_send_I control_message_send_I = nullptr;
    XA_control_message_send_II control_message_send_II = nullptr;
    XA_control_message_send_III control_message_send_III = nullptr;
    XA_control_message_send_IIII control_message_send_IIII = nullptr;
    XA_control_win32_params_to_message control_win32_params_to_message = nullptr;
  };

  // Loads the library and resolves its entry points; raises EXaudioException.
  void EnsureLibrary();
  // The library, its version checked, and a started player.
  void EnsurePlayer();
  // Raises OnNotifyMessage and the event of M's code; the second not when the
  // first destroyed the component.
  void Raise(const std::shared_ptr<TInbox>& In, const TXaudioMessage& M);
  // The library's notification procedure; Client is the inbox.
  static void Notified(void* Client, uint32_t Message, uintptr_t WParam, intptr_t LParam);

  int SendN(int Code);
  int SendP(int Code, const void* P);
  int SendS(int Code, const std::string& S);
  int SendSS(int Code, const std::string& S1, const std::string& S2);
  int SendSI(int Code, const std::string& S, int I);
  int SendIPI(int Code, int I1, const void* P, int I2);
  int SendI(int Code, int I);
  int SendII(int Code, int I1, int I2);
  int SendIII(int Code, int I1, int I2, int I3);

  std::string FXaudioPath = "libxaudio.so";
  uint32_t FPriority = 3;
  TDynamicLibrary FLibrary;
  TApi FApi;
  XA_Player* FPlayer = nullptr;
  // Shared with the library's thread (through the notification procedure)
  // and with the tasks posted to the owner.
  std::shared_ptr<TInbox> FInbox;
};
