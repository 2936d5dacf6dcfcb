// The exported C entry points: thin shells over TPlayer that never let an
// exception out into C callers.
#include <cstring>
#include <new>

#include "devices/player/AudioPlayerApi.h"
#include "devices/player/Player.h"

struct XA_Player {
  explicit XA_Player(const XA_NotifyTarget& Target) : Impl(Target) {}
  player::TPlayer Impl;
};

namespace {

template <class F>
int Guard(F&& Fn) {
  try {
    return Fn();
  } catch (const std::bad_alloc&) {
    return XA_ERROR_OUT_OF_MEMORY;
  } catch (...) {
    return XA_FAILURE;
  }
}

int Send(XA_Player* P, int Code, std::vector<int> Ints, std::vector<std::string> Texts) {
  if (!P) return XA_ERROR_NO_SUCH_PLAYER;
  return Guard([&] {
    player::TCommand C;
    C.Code = Code;
    C.Ints = std::move(Ints);
    C.Texts = std::move(Texts);
    return P->Impl.Send(std::move(C));
  });
}

// A text argument: null is refused like a missing argument.
bool Text(const char* S, std::vector<std::string>& Into) {
  if (!S) return false;
  Into.emplace_back(S);
  return true;
}

}  // namespace

extern "C" {

int player_new(XA_Player** Player, void* Args) {
  if (!Player) return XA_ERROR_INVALID_PARAMETERS;
  *Player = nullptr;
  XA_NotifyTarget Target{};
  if (Args) Target = *static_cast<const XA_NotifyTarget*>(Args);
  return Guard([&] {
    *Player = new XA_Player(Target);
    return XA_SUCCESS;
  });
}

int player_delete(XA_Player* Player) {
  if (!Player) return XA_ERROR_NO_SUCH_PLAYER;
  return Guard([&] {
    delete Player;
    return XA_SUCCESS;
  });
}

int player_set_priority(XA_Player* Player, int Priority) {
  if (!Player) return XA_ERROR_NO_SUCH_PLAYER;
  return Player->Impl.SetPriority(Priority);
}

int player_get_priority(XA_Player* Player) {
  if (!Player) return XA_ERROR_NO_SUCH_PLAYER;
  return Player->Impl.Priority();
}

const char* xaudio_error_string(int Code) {
  switch (Code) {
    case XA_SUCCESS:
      return "success";
    case XA_FAILURE:
      return "failure";
    case XA_ERROR_OUT_OF_MEMORY:
      return "out of memory";
    case XA_ERROR_INVALID_PARAMETERS:
      return "invalid parameters";
    case XA_ERROR_NO_SUCH_PLAYER:
      return "no such player";
    case XA_ERROR_NOT_SUPPORTED:
      return "not supported";
    case XA_ERROR_NO_INPUT:
      return "no input is open";
    case XA_ERROR_NO_SUCH_FILE:
      return "no such file";
    case XA_ERROR_PERMISSION_DENIED:
      return "permission denied";
    case XA_ERROR_INVALID_FORMAT:
      return "not an audio file of a supported type";
    case XA_ERROR_OPEN_FAILED:
      return "the input cannot be opened";
    case XA_ERROR_READ_FAILED:
      return "the input cannot be read";
    case XA_ERROR_OUTPUT_FAILED:
      return "the output cannot be opened";
    case XA_ERROR_NO_SUCH_DEVICE:
      return "no such output device";
    case XA_ERROR_NO_SUCH_VARIABLE:
      return "no such environment variable";
    default:
      return "unknown error";
  }
}

uint32_t xaudio_get_version(int Api) {
  if (Api != XA_API_ID_SYNC && Api != XA_API_ID_ASYNC) return 0;
  return (uint32_t{XA_VERSION_MAJOR} << 16) | (uint32_t{XA_VERSION_MINOR} << 8) | XA_VERSION_PATCH;
}

int control_message_send_N(XA_Player* Player, int Code) { return Send(Player, Code, {}, {}); }

int control_message_send_P(XA_Player* Player, int Code, const void* Pointer) {
  // The only pointer command, the equalizer, is not supported: the player
  // refuses it with a nack like any other.
  (void)Pointer;
  return Send(Player, Code, {}, {});
}

int control_message_send_S(XA_Player* Player, int Code, const char* String) {
  std::vector<std::string> T;
  if (!Text(String, T)) return XA_ERROR_INVALID_PARAMETERS;
  return Send(Player, Code, {}, std::move(T));
}

int control_message_send_SS(XA_Player* Player, int Code, const char* String1, const char* String2) {
  std::vector<std::string> T;
  if (!Text(String1, T) || !Text(String2, T)) return XA_ERROR_INVALID_PARAMETERS;
  return Send(Player, Code, {}, std::move(T));
}

int control_message_send_SI(XA_Player* Player, int Code, const char* String, int Integer) {
  std::vector<std::string> T;
  if (!Text(String, T)) return XA_ERROR_INVALID_PARAMETERS;
  return Send(Player, Code, {Integer}, std::move(T));
}

int control_message_send_IPI(XA_Player* Player, int Code, int Integer1, const void* Pointer,
                             int Integer2) {
  // Module messages: no module takes any.
  (void)Pointer;
  return Send(Player, Code, {Integer1, Integer2}, {});
}

int control_message_send_I(XA_Player* Player, int Code, int Integer) {
  return Send(Player, Code, {Integer}, {});
}

int control_message_send_II(XA_Player* Player, int Code, int Integer1, int Integer2) {
  return Send(Player, Code, {Integer1, Integer2}, {});
}

int control_message_send_III(XA_Player* Player, int Code, int Integer1, int Integer2,
                             int Integer3) {
  return Send(Player, Code, {Integer1, Integer2, Integer3}, {});
}

int control_message_send_IIII(XA_Player* Player, int Code, int Integer1, int Integer2, int Integer3,
                              int Integer4) {
  return Send(Player, Code, {Integer1, Integer2, Integer3, Integer4}, {});
}

int control_win32_params_to_message(XA_Player* Player, XA_Message* Message, uint32_t WinMessage,
                                    uintptr_t WParam, intptr_t LParam) {
  (void)Player;
  if (!Message || WinMessage != XA_NOTIFY_WINDOW_MESSAGE || LParam == 0) return XA_FAILURE;
  const auto* M = reinterpret_cast<const XA_Message*>(LParam);
  if (M->code != static_cast<int>(WParam) || M->code < XA_MSG_NOTIFY_READY ||
      M->code > XA_MSG_NOTIFY_ERROR)
    return XA_FAILURE;
  std::memcpy(Message, M, sizeof *Message);
  return XA_SUCCESS;
}

}  // extern "C"
