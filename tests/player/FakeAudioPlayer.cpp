// A stand-in for the player library, built by the tests in several variants
// (another interface version, an entry point left out) to drive the player
// component through its binding: it records the calls it gets, and on a ping
// it sends every kind of notification, or a burst of them, from a thread of
// its own. Every text and record it hands over is scribbled over and freed
// as soon as the notification procedure returns, as a real library may.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "devices/player/AudioPlayerApi.h"

#ifndef FAKE_VERSION
#define FAKE_VERSION 0x030800u
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex GLogLock;
std::string GLog;  // one line per call
bool GFailNew = false;

void Log(const std::string& Line) {
  std::lock_guard<std::mutex> L(GLogLock);
  GLog += Line + "\n";
}

// A text that lives only for one notification.
struct TTransient {
  explicit TTransient(const std::string& S) : P(new char[S.size() + 1]) {
    std::memcpy(P, S.c_str(), S.size() + 1);
  }
  ~TTransient() {
    std::memset(P, 'X', std::strlen(P));
    delete[] P;
  }
  char* P;
};

}  // namespace

struct XA_Player {
  XA_NotifyTarget Target{};
  std::mutex Lock;
  std::condition_variable Wake;
  std::deque<int> Pings;  // guarded by Lock
  bool Exit = false;      // guarded by Lock
  std::thread Thread;
  int Priority = XA_CONTROL_PRIORITY_NORMAL;

  void Send(XA_Message& M) {
    if (Target.proc)
      Target.proc(Target.client, XA_NOTIFY_WINDOW_MESSAGE, static_cast<uintptr_t>(M.code),
                  reinterpret_cast<intptr_t>(&M));
  }
  bool Exiting() {
    std::lock_guard<std::mutex> L(Lock);
    return Exit;
  }

  // Every notification code once, with values made from the code, then the
  // pong.
  void SendAll(uint32_t Tag) {
    for (int Code = XA_MSG_NOTIFY_ACK; Code <= XA_MSG_NOTIFY_ERROR; ++Code) {
      if (Code > XA_MSG_NOTIFY_OUTPUT_CAPS && Code < XA_MSG_NOTIFY_OUTPUT_VOLUME) continue;
      if (Code == XA_MSG_NOTIFY_PONG || Code == XA_MSG_NOTIFY_EXITED) continue;
      XA_Message M{};
      M.code = Code;
      TTransient A("first " + std::to_string(Code)), B("second " + std::to_string(Code));
      auto* Props = new XA_Property[2];
      Props[0] = {A.P, XA_PROPERTY_TYPE_INTEGER, Code, nullptr};
      Props[1] = {B.P, XA_PROPERTY_TYPE_STRING, 0, A.P};
      auto* Eq = new XA_EqualizerInfo;
      for (int I = 0; I < 32; ++I) {
        Eq->left[I] = static_cast<int8_t>(I);
        Eq->right[I] = static_cast<int8_t>(-I);
      }
      auto& D = M.data;
      switch (Code) {
        case XA_MSG_NOTIFY_ACK:
          D.ack = 8;
          break;
        case XA_MSG_NOTIFY_NACK:
          D.nack.command = 4;
          D.nack.code = -6;
          break;
        case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER:
          D.environment_integer.name = A.P;
          D.environment_integer.value = -Code;
          break;
        case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING:
          D.environment_string.name = A.P;
          D.environment_string.value = B.P;
          break;
        case XA_MSG_NOTIFY_INPUT_NAME:
        case XA_MSG_NOTIFY_OUTPUT_NAME:
        case XA_MSG_NOTIFY_STREAM_MIME_TYPE:
          D.name = A.P;
          break;
        case XA_MSG_NOTIFY_INPUT_POSITION:
          D.position.offset = 100;
          D.position.range = 400;
          break;
        case XA_MSG_NOTIFY_INPUT_TIMECODE:
          D.timecode = {1, 2, 3, 4};
          break;
        case XA_MSG_NOTIFY_INPUT_MODULE_INFO:
        case XA_MSG_NOTIFY_OUTPUT_MODULE_INFO:
        case XA_MSG_NOTIFY_CODEC_MODULE_INFO:
          D.module_info = {static_cast<uint8_t>(Code), 2, A.P, B.P};
          break;
        case XA_MSG_NOTIFY_INPUT_DEVICE_INFO:
        case XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO:
        case XA_MSG_NOTIFY_CODEC_DEVICE_INFO:
          D.device_info = {static_cast<uint8_t>(Code), 1, 7, A.P, B.P};
          break;
        case XA_MSG_NOTIFY_INPUT_FILTER_INFO:
        case XA_MSG_NOTIFY_OUTPUT_FILTER_INFO:
          D.filter_info = {static_cast<uint8_t>(Code), A.P};
          break;
        case XA_MSG_NOTIFY_OUTPUT_VOLUME:
          D.volume = {90, 80, 50};
          break;
        case XA_MSG_NOTIFY_STREAM_PARAMETERS:
          D.stream_parameters = {44100, 128, 2};
          break;
        case XA_MSG_NOTIFY_STREAM_PROPERTIES:
          D.properties.nb_properties = 2;
          D.properties.properties = Props;
          break;
        case XA_MSG_NOTIFY_CODEC_EQUALIZER:
          D.equalizer = Eq;
          break;
        case XA_MSG_NOTIFY_INPUT_MODULE:
        case XA_MSG_NOTIFY_OUTPUT_MODULE:
        case XA_MSG_NOTIFY_CODEC_MODULE:
          D.module_id = static_cast<int16_t>(-Code);
          break;
        case XA_MSG_NOTIFY_OUTPUT_BALANCE:
        case XA_MSG_NOTIFY_OUTPUT_PCM_LEVEL:
        case XA_MSG_NOTIFY_OUTPUT_MASTER_LEVEL:
        case XA_MSG_NOTIFY_OUTPUT_CHANNELS:
        case XA_MSG_NOTIFY_CODEC_QUALITY:
        case XA_MSG_NOTIFY_DEBUG_LEVEL:
          D.level = static_cast<uint8_t>(Code);
          break;
        case XA_MSG_NOTIFY_PROGRESS:
          D.progress = {1, 2, -3, A.P};
          break;
        case XA_MSG_NOTIFY_DEBUG:
          D.debug = {3, 4, A.P};
          break;
        case XA_MSG_NOTIFY_ERROR:
          D.error = {1, -9, A.P};
          break;
        case XA_MSG_NOTIFY_PLAYER_STATE:
        case XA_MSG_NOTIFY_PLAYER_MODE:
        case XA_MSG_NOTIFY_INPUT_STATE:
        case XA_MSG_NOTIFY_OUTPUT_STATE:
        case XA_MSG_NOTIFY_INPUT_POSITION_RANGE:
          D.state = Code * 10;
          break;
        default:
          D.value = static_cast<uint32_t>(Code) * 1000u;
          break;
      }
      Send(M);
      std::memset(Props, 0x55, sizeof(XA_Property) * 2);
      delete[] Props;
      std::memset(Eq, 0x55, sizeof *Eq);
      delete Eq;
    }
    Pong(Tag);
  }

  void Pong(uint32_t Tag) {
    XA_Message M{};
    M.code = XA_MSG_NOTIFY_PONG;
    M.data.tag = Tag;
    Send(M);
  }

  // Count texts in a row, as fast as they go, until the count or an exit.
  void Burst(int Count) {
    for (int I = 0; I < Count && !Exiting(); ++I) {
      TTransient T("burst " + std::to_string(I));
      XA_Message M{};
      M.code = XA_MSG_NOTIFY_DEBUG;
      M.data.debug = {0, 1, T.P};
      Send(M);
    }
  }

  void Execute() {
    XA_Message Ready{};
    Ready.code = XA_MSG_NOTIFY_READY;
    Send(Ready);
    for (;;) {
      int Tag;
      {
        std::unique_lock<std::mutex> L(Lock);
        Wake.wait(L, [this] { return Exit || !Pings.empty(); });
        if (Exit) break;
        Tag = Pings.front();
        Pings.pop_front();
      }
      // A negative tag asks for a burst of that many notifications.
      if (Tag < 0)
        Burst(-Tag);
      else
        SendAll(static_cast<uint32_t>(Tag));
    }
    XA_Message Exited{};
    Exited.code = XA_MSG_NOTIFY_EXITED;
    Send(Exited);
  }
};

FAKE_EXPORT const char* fake_log() {
  static std::string Copy;
  std::lock_guard<std::mutex> L(GLogLock);
  Copy = GLog;
  return Copy.c_str();
}

FAKE_EXPORT void fake_reset(int FailNew) {
  std::lock_guard<std::mutex> L(GLogLock);
  GLog.clear();
  GFailNew = FailNew != 0;
}

FAKE_EXPORT int player_new(XA_Player** Player, void* Args) {
  Log("player_new");
  {
    std::lock_guard<std::mutex> L(GLogLock);
    if (GFailNew) return XA_FAILURE;
  }
  auto* P = new XA_Player;
  if (Args) P->Target = *static_cast<const XA_NotifyTarget*>(Args);
  P->Thread = std::thread([P] { P->Execute(); });
  *Player = P;
  return XA_SUCCESS;
}

FAKE_EXPORT int player_delete(XA_Player* Player) {
  {
    std::lock_guard<std::mutex> L(Player->Lock);
    Player->Exit = true;
  }
  Player->Wake.notify_all();
  Player->Thread.join();
  delete Player;
  Log("player_delete");
  return XA_SUCCESS;
}

FAKE_EXPORT int player_set_priority(XA_Player* Player, int Priority) {
  Log("player_set_priority " + std::to_string(Priority));
  Player->Priority = Priority;
  return XA_SUCCESS;
}

FAKE_EXPORT int player_get_priority(XA_Player* Player) { return Player->Priority; }

FAKE_EXPORT const char* xaudio_error_string(int Code) {
  return Code == 0 ? "fine" : "fake failure";
}

FAKE_EXPORT uint32_t xaudio_get_version(int Api) {
  Log("xaudio_get_version " + std::to_string(Api));
  return FAKE_VERSION;
}

FAKE_EXPORT int control_message_send_N(XA_Player*, int Code) {
  Log("N " + std::to_string(Code));
  return XA_SUCCESS;
}

FAKE_EXPORT int control_message_send_P(XA_Player*, int Code, const void*) {
  Log("P " + std::to_string(Code));
  return XA_SUCCESS;
}

// A file name starting with "refuse" is refused.
FAKE_EXPORT int control_message_send_S(XA_Player*, int Code, const char* S) {
  Log("S " + std::to_string(Code) + " " + S);
  return std::strncmp(S, "refuse", 6) == 0 ? XA_ERROR_INVALID_FORMAT : XA_SUCCESS;
}

FAKE_EXPORT int control_message_send_SS(XA_Player*, int Code, const char* A, const char* B) {
  Log("SS " + std::to_string(Code) + " " + A + " " + B);
  return XA_SUCCESS;
}

#ifndef FAKE_OMIT_SI
FAKE_EXPORT int control_message_send_SI(XA_Player*, int Code, const char* S, int I) {
  Log("SI " + std::to_string(Code) + " " + S + " " + std::to_string(I));
  return XA_SUCCESS;
}
#endif

FAKE_EXPORT int control_message_send_IPI(XA_Player*, int Code, int A, const void*, int B) {
  Log("IPI " + std::to_string(Code) + " " + std::to_string(A) + " " + std::to_string(B));
  return XA_SUCCESS;
}

// Ping: the tag goes to the player's thread.
FAKE_EXPORT int control_message_send_I(XA_Player* Player, int Code, int I) {
  Log("I " + std::to_string(Code) + " " + std::to_string(I));
  if (Code == XA_MSG_COMMAND_PING) {
    {
      std::lock_guard<std::mutex> L(Player->Lock);
      Player->Pings.push_back(I);
    }
    Player->Wake.notify_all();
  }
  return XA_SUCCESS;
}

FAKE_EXPORT int control_message_send_II(XA_Player*, int Code, int A, int B) {
  Log("II " + std::to_string(Code) + " " + std::to_string(A) + " " + std::to_string(B));
  return XA_SUCCESS;
}

FAKE_EXPORT int control_message_send_III(XA_Player*, int Code, int A, int B, int C) {
  Log("III " + std::to_string(Code) + " " + std::to_string(A) + " " + std::to_string(B) + " " +
      std::to_string(C));
  return XA_SUCCESS;
}

FAKE_EXPORT int control_message_send_IIII(XA_Player*, int Code, int, int, int, int) {
  Log("IIII " + std::to_string(Code));
  return XA_SUCCESS;
}

FAKE_EXPORT int control_win32_params_to_message(XA_Player*, XA_Message* Message,
                                                uint32_t WinMessage, uintptr_t, intptr_t LParam) {
  if (WinMessage != XA_NOTIFY_WINDOW_MESSAGE || !LParam) return XA_FAILURE;
  *Message = *reinterpret_cast<const XA_Message*>(LParam);
  return XA_SUCCESS;
}
