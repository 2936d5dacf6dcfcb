#include "devices/XaudioPlayer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <type_traits>

const char* const TXaudioPlayer::kEntryPoints[17] = {
    "player_new",
    "player_delete",
    "player_set_priority",
    "player_get_priority",
    "xaudio_error_string",
    "xaudio_get_version",
    "control_message_send_N",
    "control_message_send_P",
    "control_message_send_S",
    "control_message_send_SS",
    "control_message_send_SI",
    "control_message_send_IPI",
    "control_message_send_I",
    "control_message_send_II",
    "control_message_send_III",
    "control_message_send_IIII",
    "control_win32_params_to_message",
};

namespace {

constexpr uint32_t kDefaultPriority = 3;  // keep the library's own
constexpr int kMajor = 3, kMinor = 8;

std::string Copy(const char* S) { return S ? std::string(S) : std::string(); }

// The message with its texts and records copied: the library's memory is
// only valid during its call.
TXaudioMessage CopyMessage(const XA_Message& Raw) {
  TXaudioMessage M;
  M.Code = Raw.code;
  M.Data = Raw;
  auto& D = M.Data.data;
  switch (Raw.code) {
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER:
      M.Text1 = Copy(D.environment_integer.name);
      D.environment_integer.name = nullptr;
      break;
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING:
      M.Text1 = Copy(D.environment_string.name);
      M.Text2 = Copy(D.environment_string.value);
      D.environment_string.name = D.environment_string.value = nullptr;
      break;
    case XA_MSG_NOTIFY_INPUT_NAME:
    case XA_MSG_NOTIFY_OUTPUT_NAME:
    case XA_MSG_NOTIFY_STREAM_MIME_TYPE:
      M.Text1 = Copy(D.name);
      D.name = nullptr;
      break;
    case XA_MSG_NOTIFY_INPUT_MODULE_INFO:
    case XA_MSG_NOTIFY_OUTPUT_MODULE_INFO:
    case XA_MSG_NOTIFY_CODEC_MODULE_INFO:
      M.Text1 = Copy(D.module_info.name);
      M.Text2 = Copy(D.module_info.description);
      D.module_info.name = D.module_info.description = nullptr;
      break;
    case XA_MSG_NOTIFY_INPUT_DEVICE_INFO:
    case XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO:
    case XA_MSG_NOTIFY_CODEC_DEVICE_INFO:
      M.Text1 = Copy(D.device_info.name);
      M.Text2 = Copy(D.device_info.description);
      D.device_info.name = D.device_info.description = nullptr;
      break;
    case XA_MSG_NOTIFY_INPUT_FILTER_INFO:
    case XA_MSG_NOTIFY_OUTPUT_FILTER_INFO:
      M.Text1 = Copy(D.filter_info.name);
      D.filter_info.name = nullptr;
      break;
    case XA_MSG_NOTIFY_STREAM_PROPERTIES:
      if (D.properties.properties) {
        for (uint32_t I = 0; I < D.properties.nb_properties; ++I) {
          const XA_Property& P = D.properties.properties[I];
          M.Properties.push_back({Copy(P.name), P.type, P.integer, Copy(P.string)});
        }
      }
      D.properties.properties = nullptr;
      break;
    case XA_MSG_NOTIFY_CODEC_EQUALIZER:
      if (D.equalizer) M.Equalizer = *D.equalizer;
      D.equalizer = nullptr;
      break;
    case XA_MSG_NOTIFY_PROGRESS:
      M.Text1 = Copy(D.progress.message);
      D.progress.message = nullptr;
      break;
    case XA_MSG_NOTIFY_DEBUG:
      M.Text1 = Copy(D.debug.message);
      D.debug.message = nullptr;
      break;
    case XA_MSG_NOTIFY_ERROR:
      M.Text1 = Copy(D.error.message);
      D.error.message = nullptr;
      break;
    default:
      break;
  }
  return M;
}

template <class F, class... A>
void Fire(const F& Event, A&&... Args) {
  if (Event) Event(std::forward<A>(Args)...);
}

}  // namespace

// What the library's thread and the owner's thread share.
struct TXaudioPlayer::TInbox {
  std::mutex Lock;
  std::condition_variable Arrived;
  // Guarded by Lock.
  std::deque<TXaudioMessage> Queue;
  bool Closed = false;  // the component is being destroyed: nothing more is kept
  bool Posted = false;  // a delivery task is on its way to the owner
  TPostToOwner Post;
  TXaudioPlayer* Owner = nullptr;
  // Set before the player starts, read by the library's thread.
  XA_control_win32_params_to_message Decode = nullptr;
  std::atomic<XA_Player*> Player{nullptr};
  // The inbox itself, for the tasks posted to the owner.
  std::weak_ptr<TInbox> Self;
};

TXaudioPlayer::TXaudioPlayer(TComponent* AOwner)
    : TComponent(AOwner), FPriority(kDefaultPriority), FInbox(std::make_shared<TInbox>()) {
  FInbox->Owner = this;
  FInbox->Self = FInbox;
}

TXaudioPlayer::~TXaudioPlayer() {
  {
    std::lock_guard<std::mutex> L(FInbox->Lock);
    FInbox->Closed = true;
    FInbox->Owner = nullptr;
    FInbox->Queue.clear();
  }
  // The library's thread is joined here; its last notifications find the
  // inbox closed. Only then may the library go.
  if (FPlayer) FApi.player_delete(FPlayer);
  FPlayer = nullptr;
  FLibrary.Close();
}

void TXaudioPlayer::SetPostToOwner(TPostToOwner Post) {
  std::lock_guard<std::mutex> L(FInbox->Lock);
  FInbox->Post = std::move(Post);
}

uint32_t TXaudioPlayer::Priority() const {
  if (FPlayer) return static_cast<uint32_t>(FApi.player_get_priority(FPlayer));
  return FPriority;
}

void TXaudioPlayer::SetPriority(uint32_t Value) {
  FPriority = Value;
  if (FPlayer) FApi.player_set_priority(FPlayer, static_cast<int>(Value));
}

// ---------------------------------------------------------------- loading

void TXaudioPlayer::EnsureLibrary() {
  if (FLibrary.IsOpen()) return;
  if (!FLibrary.Open(FXaudioPath))
    throw EXaudioException("Cannot Load Xaudio DLL (" + FXaudioPath + ")");
  // In the order of kEntryPoints; the first one missing is named.
  int I = 0;
  auto Bind = [this, &I](auto& Slot) {
    Slot = reinterpret_cast<std::remove_reference_t<decltype(Slot)>>(
        FLibrary.Symbol(kEntryPoints[I++]));
    return Slot != nullptr;
  };
  TApi& A = FApi;
  const bool Complete = Bind(A.player_new) && Bind(A.player_delete) &&
                        Bind(A.player_set_priority) && Bind(A.player_get_priority) &&
                        Bind(A.xaudio_error_string) && Bind(A.xaudio_get_version) &&
                        Bind(A.control_message_send_N) && Bind(A.control_message_send_P) &&
                        Bind(A.control_message_send_S) && Bind(A.control_message_send_SS) &&
                        Bind(A.control_message_send_SI) && Bind(A.control_message_send_IPI) &&
                        Bind(A.control_message_send_I) && Bind(A.control_message_send_II) &&
                        Bind(A.control_message_send_III) && Bind(A.control_message_send_IIII) &&
                        Bind(A.control_win32_params_to_message);
  if (!Complete) {
    FLibrary.Close();
    FApi = TApi();
    throw EXaudioException(std::string("Cannot Find Symbol ") + kEntryPoints[I - 1] +
                           " in Xaudio DLL");
  }
}

void TXaudioPlayer::EnsurePlayer() {
  if (FPlayer) return;
  EnsureLibrary();
  const uint32_t V = FApi.xaudio_get_version(XA_API_ID_ASYNC);
  const int Major = static_cast<int>((V >> 16) & 0xFF), Minor = static_cast<int>((V >> 8) & 0xFF);
  if (Major != kMajor || Minor != kMinor)
    throw EXaudioException("Xaudio DLL API Mismatch\rExpected " + std::to_string(kMajor) + "." +
                           std::to_string(kMinor) + ", Got " + std::to_string(Major) + "." +
                           std::to_string(Minor));
  FInbox->Decode = FApi.control_win32_params_to_message;
  XA_NotifyTarget Target{&TXaudioPlayer::Notified, FInbox.get()};
  XA_Player* P = nullptr;
  if (FApi.player_new(&P, &Target) != XA_SUCCESS || !P)
    throw EXaudioException("Cannot Start Xaudio Player");
  FPlayer = P;
  FInbox->Player = P;
  if (FPriority != kDefaultPriority) FApi.player_set_priority(FPlayer, static_cast<int>(FPriority));
}

uint32_t TXaudioPlayer::Version() {
  EnsureLibrary();
  return FApi.xaudio_get_version(XA_API_ID_ASYNC);
}

std::string TXaudioPlayer::ErrorString(int Code) {
  EnsureLibrary();
  return Copy(FApi.xaudio_error_string(Code));
}

// ---------------------------------------------------------------- notifications

void TXaudioPlayer::Notified(void* Client, uint32_t Message, uintptr_t WParam, intptr_t LParam) {
  auto* In = static_cast<TInbox*>(Client);
  XA_Message Raw{};
  if (!In->Decode || In->Decode(In->Player.load(), &Raw, Message, WParam, LParam) != XA_SUCCESS)
    return;
  // Copied here, on the library's thread, while its texts still exist.
  TXaudioMessage M = CopyMessage(Raw);
  TPostToOwner Post;
  {
    std::lock_guard<std::mutex> L(In->Lock);
    if (In->Closed) return;
    In->Queue.push_back(std::move(M));
    if (!In->Posted && In->Post) {
      In->Posted = true;
      Post = In->Post;
    }
  }
  In->Arrived.notify_all();
  if (Post) {
    // The task may arrive after the component is gone: it holds the inbox
    // only weakly, and the inbox forgets its owner at destruction.
    Post([Weak = In->Self] {
      std::shared_ptr<TInbox> I = Weak.lock();
      if (!I) return;
      TXaudioPlayer* Owner;
      {
        std::lock_guard<std::mutex> L(I->Lock);
        Owner = I->Closed ? nullptr : I->Owner;
      }
      if (Owner) Owner->DeliverNotifications();
    });
  }
}

void TXaudioPlayer::DeliverNotifications() {
  // Held for the loop: a handler may destroy the component.
  std::shared_ptr<TInbox> In = FInbox;
  for (;;) {
    TXaudioMessage M;
    {
      std::lock_guard<std::mutex> L(In->Lock);
      if (In->Closed || In->Queue.empty()) {
        In->Posted = false;
        return;
      }
      M = std::move(In->Queue.front());
      In->Queue.pop_front();
    }
    Raise(In, M);
  }
}

bool TXaudioPlayer::WaitForNotification(std::chrono::milliseconds Bound) {
  std::unique_lock<std::mutex> L(FInbox->Lock);
  return FInbox->Arrived.wait_for(L, Bound, [this] { return !FInbox->Queue.empty(); });
}

void TXaudioPlayer::Raise(const std::shared_ptr<TInbox>& In, const TXaudioMessage& M) {
  Fire(OnNotifyMessage, this, M);
  // The handler may have destroyed the component.
  {
    std::lock_guard<std::mutex> L(In->Lock);
    if (In->Closed) return;
  }
  const auto& D = M.Data.data;
  switch (M.Code) {
    case XA_MSG_NOTIFY_READY:
      return Fire(OnNotifyReady, this);
    case XA_MSG_NOTIFY_ACK:
      return Fire(OnNotifyAck, this, D.ack);
    case XA_MSG_NOTIFY_NACK:
      return Fire(OnNotifyNack, this, D.nack.command, D.nack.code);
    case XA_MSG_NOTIFY_PONG:
      return Fire(OnNotifyPong, this, D.tag);
    case XA_MSG_NOTIFY_EXITED:
      return Fire(OnNotifyExited, this);
    case XA_MSG_NOTIFY_PLAYER_STATE:
      return Fire(OnNotifyPlayerState, this, D.state);
    case XA_MSG_NOTIFY_PLAYER_MODE:
      return Fire(OnNotifyPlayerMode, this, D.mode);
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER:
      return Fire(OnNotifyPlayerEnvironmentInteger, this, M.Text1,
                  static_cast<int>(D.environment_integer.value));
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING:
      return Fire(OnNotifyPlayerEnvironmentString, this, M.Text1, M.Text2);
    case XA_MSG_NOTIFY_INPUT_STATE:
      return Fire(OnNotifyInputState, this, D.state);
    case XA_MSG_NOTIFY_INPUT_NAME:
      return Fire(OnNotifyInputName, this, M.Text1);
    case XA_MSG_NOTIFY_INPUT_CAPS:
      return Fire(OnNotifyInputCaps, this, D.caps);
    case XA_MSG_NOTIFY_INPUT_POSITION:
      return Fire(OnNotifyInputPosition, this, D.position.offset, D.position.range);
    case XA_MSG_NOTIFY_INPUT_POSITION_RANGE:
      return Fire(OnNotifyInputPositionRange, this, D.range);
    case XA_MSG_NOTIFY_INPUT_TIMECODE:
      return Fire(OnNotifyInputTimecode, this, D.timecode.h, D.timecode.m, D.timecode.s,
                  D.timecode.f);
    case XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY:
      return Fire(OnNotifyInputTimecodeGranularity, this, D.value);
    case XA_MSG_NOTIFY_INPUT_MODULE:
      return Fire(OnNotifyInputModule, this, D.module_id);
    case XA_MSG_NOTIFY_INPUT_MODULE_INFO:
      return Fire(OnNotifyInputModuleInfo, this, D.module_info.id, D.module_info.nb_devices,
                  M.Text1, M.Text2);
    case XA_MSG_NOTIFY_INPUT_DEVICE_INFO:
      return Fire(OnNotifyInputDeviceInfo, this, D.device_info.module_id, D.device_info.index,
                  D.device_info.flags, M.Text1, M.Text2);
    case XA_MSG_NOTIFY_INPUT_FILTER_INFO:
      return Fire(OnNotifyInputFilterInfo, this, D.filter_info.id, M.Text1);
    case XA_MSG_NOTIFY_OUTPUT_STATE:
      return Fire(OnNotifyOutputState, this, D.state);
    case XA_MSG_NOTIFY_OUTPUT_NAME:
      return Fire(OnNotifyOutputName, this, M.Text1);
    case XA_MSG_NOTIFY_OUTPUT_CAPS:
      return Fire(OnNotifyOutputCaps, this, D.caps);
    case XA_MSG_NOTIFY_OUTPUT_VOLUME:
      return Fire(OnNotifyOutputVolume, this, D.volume.master_level, D.volume.pcm_level,
                  D.volume.balance);
    case XA_MSG_NOTIFY_OUTPUT_BALANCE:
      return Fire(OnNotifyOutputBalance, this, D.level);
    case XA_MSG_NOTIFY_OUTPUT_PCM_LEVEL:
      return Fire(OnNotifyOutputPcmLevel, this, D.level);
    case XA_MSG_NOTIFY_OUTPUT_MASTER_LEVEL:
      return Fire(OnNotifyOutputMasterLevel, this, D.level);
    case XA_MSG_NOTIFY_OUTPUT_CHANNELS:
      return Fire(OnNotifyOutputChannels, this, D.level);
    case XA_MSG_NOTIFY_OUTPUT_PORTS:
      return Fire(OnNotifyOutputPorts, this, D.value);
    case XA_MSG_NOTIFY_OUTPUT_MODULE:
      return Fire(OnNotifyOutputModule, this, D.module_id);
    case XA_MSG_NOTIFY_OUTPUT_MODULE_INFO:
      return Fire(OnNotifyOutputModuleInfo, this, D.module_info.id, D.module_info.nb_devices,
                  M.Text1, M.Text2);
    case XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO:
      return Fire(OnNotifyOutputDeviceInfo, this, D.device_info.module_id, D.device_info.index,
                  D.device_info.flags, M.Text1, M.Text2);
    case XA_MSG_NOTIFY_OUTPUT_FILTER_INFO:
      return Fire(OnNotifyOutputFilterInfo, this, D.filter_info.id, M.Text1);
    case XA_MSG_NOTIFY_STREAM_MIME_TYPE:
      return Fire(OnNotifyStreamMimeType, this, M.Text1);
    case XA_MSG_NOTIFY_STREAM_DURATION:
      return Fire(OnNotifyStreamDuration, this, D.value);
    case XA_MSG_NOTIFY_STREAM_PARAMETERS:
      return Fire(OnNotifyStreamParameters, this, D.stream_parameters.frequency,
                  D.stream_parameters.bitrate, D.stream_parameters.nb_channels);
    case XA_MSG_NOTIFY_STREAM_PROPERTIES:
      return Fire(OnNotifyStreamProperties, this, M.Properties);
    case XA_MSG_NOTIFY_CODEC_QUALITY:
      return Fire(OnNotifyCodecQuality, this, D.level);
    case XA_MSG_NOTIFY_CODEC_EQUALIZER:
      return Fire(OnNotifyCodecEqualizer, this, M.Equalizer);
    case XA_MSG_NOTIFY_CODEC_MODULE:
      return Fire(OnNotifyCodecModule, this, D.module_id);
    case XA_MSG_NOTIFY_CODEC_MODULE_INFO:
      return Fire(OnNotifyCodecModuleInfo, this, D.module_info.id, D.module_info.nb_devices,
                  M.Text1, M.Text2);
    case XA_MSG_NOTIFY_CODEC_DEVICE_INFO:
      return Fire(OnNotifyCodecDeviceInfo, this, D.device_info.module_id, D.device_info.index,
                  D.device_info.flags, M.Text1, M.Text2);
    case XA_MSG_NOTIFY_NOTIFICATION_MASK:
      return Fire(OnNotifyNotificationMask, this, D.value);
    case XA_MSG_NOTIFY_DEBUG_LEVEL:
      return Fire(OnNotifyDebugLevel, this, D.level);
    case XA_MSG_NOTIFY_PROGRESS:
      return Fire(OnNotifyProgress, this, D.progress.source, D.progress.code, D.progress.value,
                  M.Text1);
    case XA_MSG_NOTIFY_DEBUG:
      return Fire(OnNotifyDebug, this, D.debug.source, D.debug.level, M.Text1);
    case XA_MSG_NOTIFY_ERROR:
      return Fire(OnNotifyError, this, D.error.source, D.error.code, M.Text1);
    default:
      return;
  }
}

// ---------------------------------------------------------------- commands

int TXaudioPlayer::SendN(int Code) {
  EnsurePlayer();
  return FApi.control_message_send_N(FPlayer, Code);
}
int TXaudioPlayer::SendP(int Code, const void* P) {
  EnsurePlayer();
  return FApi.control_message_send_P(FPlayer, Code, P);
}
int TXaudioPlayer::SendS(int Code, const std::string& S) {
  EnsurePlayer();
  return FApi.control_message_send_S(FPlayer, Code, S.c_str());
}
int TXaudioPlayer::SendSS(int Code, const std::string& S1, const std::string& S2) {
  EnsurePlayer();
  return FApi.control_message_send_SS(FPlayer, Code, S1.c_str(), S2.c_str());
}
int TXaudioPlayer::SendSI(int Code, const std::string& S, int I) {
  EnsurePlayer();
  return FApi.control_message_send_SI(FPlayer, Code, S.c_str(), I);
}
int TXaudioPlayer::SendIPI(int Code, int I1, const void* P, int I2) {
  EnsurePlayer();
  return FApi.control_message_send_IPI(FPlayer, Code, I1, P, I2);
}
int TXaudioPlayer::SendI(int Code, int I) {
  EnsurePlayer();
  return FApi.control_message_send_I(FPlayer, Code, I);
}
int TXaudioPlayer::SendII(int Code, int I1, int I2) {
  EnsurePlayer();
  return FApi.control_message_send_II(FPlayer, Code, I1, I2);
}
int TXaudioPlayer::SendIII(int Code, int I1, int I2, int I3) {
  EnsurePlayer();
  return FApi.control_message_send_III(FPlayer, Code, I1, I2, I3);
}
