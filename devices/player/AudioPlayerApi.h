// The C interface of libAudioPlayer.so: a player that decodes and plays one
// audio file at a time on a thread of its own, controlled by command
// messages and reporting through notification messages.
//
// A client creates a player with player_new, handing it a notification
// target. Commands (control_message_send_*) are queued and carried out in
// order on the player's thread; the send call returns at once with
// XA_SUCCESS, or with an error code when the command is refused outright (no
// player, unknown code, bad arguments, a file that cannot be played). Every
// command is answered by a notification: XA_MSG_NOTIFY_ACK on success,
// XA_MSG_NOTIFY_NACK with an error code otherwise, after the notifications
// the command caused.
//
// Notifications reach the target's procedure on the player's thread, one at a
// time, in order, from XA_MSG_NOTIFY_READY to XA_MSG_NOTIFY_EXITED. Its parameters are only valid
// during the call: control_win32_params_to_message turns them into an XA_Message whose texts and
// records point into the library's memory until the procedure returns.
//
// Texts are UTF-8. A file name is a path.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define XA_API __attribute__((visibility("default")))
#else
#define XA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- version
// xaudio_get_version(XA_API_ID_ASYNC): major in bits 16-23, minor in 8-15,
// patch in 0-7.
#define XA_API_ID_SYNC 1
#define XA_API_ID_ASYNC 2
#define XA_VERSION_MAJOR 3
#define XA_VERSION_MINOR 8
#define XA_VERSION_PATCH 0

// ---------------------------------------------------------------- error codes
enum {
  XA_SUCCESS = 0,
  XA_FAILURE = -1,
  XA_ERROR_OUT_OF_MEMORY = -2,
  XA_ERROR_INVALID_PARAMETERS = -3,
  XA_ERROR_NO_SUCH_PLAYER = -4,
  XA_ERROR_NOT_SUPPORTED = -5,
  XA_ERROR_NO_INPUT = -6,
  XA_ERROR_NO_SUCH_FILE = -7,
  XA_ERROR_PERMISSION_DENIED = -8,
  XA_ERROR_INVALID_FORMAT = -9,
  XA_ERROR_OPEN_FAILED = -10,
  XA_ERROR_READ_FAILED = -11,
  XA_ERROR_OUTPUT_FAILED = -12,
  XA_ERROR_NO_SUCH_DEVICE = -13,
  XA_ERROR_NO_SUCH_VARIABLE = -14,
};

// ---------------------------------------------------------------- commands
enum {
  XA_MSG_COMMAND_SYNC = 2,
  XA_MSG_COMMAND_PING = 3,
  XA_MSG_COMMAND_PLAY = 4,
  XA_MSG_COMMAND_PAUSE = 5,
  XA_MSG_COMMAND_STOP = 6,
  XA_MSG_COMMAND_SEEK = 7,
  XA_MSG_COMMAND_INPUT_OPEN = 8,
  XA_MSG_COMMAND_INPUT_CLOSE = 9,
  XA_MSG_COMMAND_INPUT_SEND_MESSAGE = 10,
  XA_MSG_COMMAND_INPUT_ADD_FILTER = 11,
  XA_MSG_COMMAND_INPUT_REMOVE_FILTER = 12,
  XA_MSG_COMMAND_INPUT_FILTERS_LIST = 13,
  XA_MSG_COMMAND_INPUT_MODULE_REGISTER = 14,
  XA_MSG_COMMAND_INPUT_MODULE_QUERY = 15,
  XA_MSG_COMMAND_INPUT_MODULES_LIST = 16,
  XA_MSG_COMMAND_OUTPUT_OPEN = 17,
  XA_MSG_COMMAND_OUTPUT_CLOSE = 18,
  XA_MSG_COMMAND_OUTPUT_SEND_MESSAGE = 19,
  XA_MSG_COMMAND_OUTPUT_MUTE = 20,
  XA_MSG_COMMAND_OUTPUT_UNMUTE = 21,
  XA_MSG_COMMAND_OUTPUT_RESET = 22,
  XA_MSG_COMMAND_OUTPUT_DRAIN = 23,
  XA_MSG_COMMAND_OUTPUT_ADD_FILTER = 24,
  XA_MSG_COMMAND_OUTPUT_REMOVE_FILTER = 25,
  XA_MSG_COMMAND_OUTPUT_FILTERS_LIST = 26,
  XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER = 27,
  XA_MSG_COMMAND_OUTPUT_MODULE_QUERY = 28,
  XA_MSG_COMMAND_OUTPUT_MODULES_LIST = 29,
  XA_MSG_COMMAND_CODEC_SEND_MESSAGE = 30,
  XA_MSG_COMMAND_CODEC_MODULE_REGISTER = 31,
  XA_MSG_COMMAND_CODEC_MODULE_QUERY = 32,
  XA_MSG_COMMAND_CODEC_MODULES_LIST = 33,
  XA_MSG_SET_PLAYER_MODE = 34,
  XA_MSG_GET_PLAYER_MODE = 35,
  XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER = 36,
  XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER = 37,
  XA_MSG_SET_PLAYER_ENVIRONMENT_STRING = 38,
  XA_MSG_GET_PLAYER_ENVIRONMENT_STRING = 39,
  XA_MSG_UNSET_PLAYER_ENVIRONMENT = 40,
  XA_MSG_SET_INPUT_NAME = 41,
  XA_MSG_GET_INPUT_NAME = 42,
  XA_MSG_SET_INPUT_MODULE = 43,
  XA_MSG_GET_INPUT_MODULE = 44,
  XA_MSG_SET_INPUT_POSITION_RANGE = 45,
  XA_MSG_GET_INPUT_POSITION_RANGE = 46,
  XA_MSG_SET_INPUT_TIMECODE_GRANULARITY = 47,
  XA_MSG_GET_INPUT_TIMECODE_GRANULARITY = 48,
  XA_MSG_SET_OUTPUT_NAME = 49,
  XA_MSG_GET_OUTPUT_NAME = 50,
  XA_MSG_SET_OUTPUT_MODULE = 51,
  XA_MSG_GET_OUTPUT_MODULE = 52,
  XA_MSG_SET_OUTPUT_VOLUME = 57,
  XA_MSG_GET_OUTPUT_VOLUME = 58,
  XA_MSG_SET_OUTPUT_CHANNELS = 59,
  XA_MSG_GET_OUTPUT_CHANNELS = 60,
  XA_MSG_SET_OUTPUT_PORTS = 61,
  XA_MSG_GET_OUTPUT_PORTS = 62,
  XA_MSG_SET_CODEC_QUALITY = 63,
  XA_MSG_GET_CODEC_QUALITY = 64,
  XA_MSG_SET_CODEC_EQUALIZER = 65,
  XA_MSG_GET_CODEC_EQUALIZER = 66,
  XA_MSG_SET_NOTIFICATION_MASK = 69,
  XA_MSG_GET_NOTIFICATION_MASK = 70,
  XA_MSG_SET_DEBUG_LEVEL = 71,
  XA_MSG_GET_DEBUG_LEVEL = 72,
};

// ---------------------------------------------------------------- notifications
enum {
  XA_MSG_NOTIFY_READY = 73,
  XA_MSG_NOTIFY_ACK = 74,
  XA_MSG_NOTIFY_NACK = 75,
  XA_MSG_NOTIFY_PONG = 76,
  XA_MSG_NOTIFY_EXITED = 77,
  XA_MSG_NOTIFY_PLAYER_STATE = 78,
  XA_MSG_NOTIFY_PLAYER_MODE = 79,
  XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER = 80,
  XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING = 81,
  XA_MSG_NOTIFY_INPUT_STATE = 82,
  XA_MSG_NOTIFY_INPUT_NAME = 83,
  XA_MSG_NOTIFY_INPUT_CAPS = 84,
  XA_MSG_NOTIFY_INPUT_POSITION = 85,
  XA_MSG_NOTIFY_INPUT_POSITION_RANGE = 86,
  XA_MSG_NOTIFY_INPUT_TIMECODE = 87,
  XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY = 88,
  XA_MSG_NOTIFY_INPUT_MODULE = 89,
  XA_MSG_NOTIFY_INPUT_MODULE_INFO = 90,
  XA_MSG_NOTIFY_INPUT_DEVICE_INFO = 91,
  XA_MSG_NOTIFY_INPUT_FILTER_INFO = 92,
  XA_MSG_NOTIFY_OUTPUT_STATE = 93,
  XA_MSG_NOTIFY_OUTPUT_NAME = 94,
  XA_MSG_NOTIFY_OUTPUT_CAPS = 95,
  XA_MSG_NOTIFY_OUTPUT_VOLUME = 100,
  XA_MSG_NOTIFY_OUTPUT_BALANCE = 101,
  XA_MSG_NOTIFY_OUTPUT_PCM_LEVEL = 102,
  XA_MSG_NOTIFY_OUTPUT_MASTER_LEVEL = 103,
  XA_MSG_NOTIFY_OUTPUT_CHANNELS = 104,
  XA_MSG_NOTIFY_OUTPUT_PORTS = 105,
  XA_MSG_NOTIFY_OUTPUT_MODULE = 106,
  XA_MSG_NOTIFY_OUTPUT_MODULE_INFO = 107,
  XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO = 108,
  XA_MSG_NOTIFY_OUTPUT_FILTER_INFO = 109,
  XA_MSG_NOTIFY_STREAM_MIME_TYPE = 110,
  XA_MSG_NOTIFY_STREAM_DURATION = 111,
  XA_MSG_NOTIFY_STREAM_PARAMETERS = 112,
  XA_MSG_NOTIFY_STREAM_PROPERTIES = 113,
  XA_MSG_NOTIFY_CODEC_QUALITY = 114,
  XA_MSG_NOTIFY_CODEC_EQUALIZER = 115,
  XA_MSG_NOTIFY_CODEC_MODULE = 116,
  XA_MSG_NOTIFY_CODEC_MODULE_INFO = 117,
  XA_MSG_NOTIFY_CODEC_DEVICE_INFO = 118,
  XA_MSG_NOTIFY_NOTIFICATION_MASK = 119,
  XA_MSG_NOTIFY_DEBUG_LEVEL = 120,
  XA_MSG_NOTIFY_PROGRESS = 121,
  XA_MSG_NOTIFY_DEBUG = 122,
  XA_MSG_NOTIFY_ERROR = 123,
};

// States carried by the state notifications.
enum {
  XA_PLAYER_STATE_STOPPED = 0,
  XA_PLAYER_STATE_PLAYING = 1,
  XA_PLAYER_STATE_PAUSED = 2,
  XA_PLAYER_STATE_EOS = 3,
};
enum { XA_INPUT_STATE_CLOSED = 0, XA_INPUT_STATE_OPEN = 1 };
enum { XA_OUTPUT_STATE_CLOSED = 0, XA_OUTPUT_STATE_OPEN = 1 };

// Player mode bits (XA_MSG_SET_PLAYER_MODE).
#define XA_PLAYER_MODE_LOOP 0x1u

// Input capability bits (XA_MSG_NOTIFY_INPUT_CAPS).
#define XA_INPUT_CAN_SEEK 0x1u
#define XA_INPUT_CAN_PAUSE 0x2u

// Where a progress, debug or error notification comes from.
enum { XA_SOURCE_PLAYER = 0, XA_SOURCE_INPUT = 1, XA_SOURCE_CODEC = 2, XA_SOURCE_OUTPUT = 3 };

// Notification mask bits (XA_MSG_SET_NOTIFICATION_MASK): a notification
// whose group bit is clear is not sent. XA_MSG_NOTIFY_READY and
// XA_MSG_NOTIFY_EXITED are always sent. All bits are set at the start.
#define XA_NOTIFY_MASK_ACK 0x001u             // ack
#define XA_NOTIFY_MASK_NACK 0x002u            // nack
#define XA_NOTIFY_MASK_PLAYER_STATE 0x004u    // player state and mode
#define XA_NOTIFY_MASK_INPUT_STATE 0x008u     // input state, name, caps, module
#define XA_NOTIFY_MASK_INPUT_POSITION 0x010u  // input position and its range
#define XA_NOTIFY_MASK_INPUT_TIMECODE 0x020u  // input time code and its granularity
#define XA_NOTIFY_MASK_OUTPUT_STATE 0x040u    // output state, name, caps, volume, module
#define XA_NOTIFY_MASK_STREAM 0x080u          // stream mime type, duration, parameters, properties
#define XA_NOTIFY_MASK_ERROR 0x100u           // error
#define XA_NOTIFY_MASK_DEBUG 0x200u           // debug
#define XA_NOTIFY_MASK_PROGRESS 0x400u        // progress
#define XA_NOTIFY_MASK_OTHER 0x800u           // everything else (pong, environment, ...)

// ---------------------------------------------------------------- records
enum { XA_PROPERTY_TYPE_INTEGER = 0, XA_PROPERTY_TYPE_STRING = 1 };

typedef struct XA_Property {
  const char* name;
  int type;  // XA_PROPERTY_TYPE_*
  int32_t integer;
  const char* string;  // null for an integer
} XA_Property;

typedef struct XA_EqualizerInfo {
  int8_t left[32];
  int8_t right[32];
} XA_EqualizerInfo;

// A decoded notification. Which member of data holds its parameters follows
// from code; texts and records point into the library's memory.
typedef struct XA_Message {
  int code;  // XA_MSG_NOTIFY_*
  union {
    uint8_t ack;  // the command acknowledged
    struct {
      uint8_t command;
      int16_t code;
    } nack;
    uint32_t tag;    // pong
    int state;       // player, input or output state
    int mode;        // player mode
    uint32_t caps;   // input or output caps
    int range;       // input position range
    uint32_t value;  // timecode granularity, output ports, stream duration, notification mask
    int16_t module_id;
    uint8_t level;     // balance, pcm level, master level, channels, codec quality, debug level
    const char* name;  // input name, output name, stream mime type
    struct {
      const char* name;
      int32_t value;
    } environment_integer;
    struct {
      const char* name;
      const char* value;
    } environment_string;
    struct {
      uint32_t offset;
      uint32_t range;
    } position;
    struct {
      uint8_t h, m, s, f;
    } timecode;
    struct {
      uint8_t id;
      uint8_t nb_devices;
      const char* name;
      const char* description;
    } module_info;
    struct {
      uint8_t module_id;
      uint8_t index;
      uint8_t flags;
      const char* name;
      const char* description;
    } device_info;
    struct {
      uint8_t id;
      const char* name;
    } filter_info;
    struct {
      uint8_t master_level;
      uint8_t pcm_level;
      uint8_t balance;
    } volume;
    struct {
      uint32_t frequency;
      int16_t bitrate;  // kbit/s
      uint8_t nb_channels;
    } stream_parameters;
    struct {
      uint32_t nb_properties;
      const XA_Property* properties;
    } properties;
    const XA_EqualizerInfo* equalizer;
    struct {
      uint8_t source;
      uint8_t code;
      int16_t value;
      const char* message;
    } progress;
    struct {
      uint8_t source;
      uint8_t level;
      const char* message;
    } debug;
    struct {
      uint8_t source;
      int16_t code;
      const char* message;
    } error;
  } data;
} XA_Message;

typedef struct XA_Player XA_Player;

// Receives the notifications: Message, WParam and LParam as they are to be
// handed to control_win32_params_to_message. Must not call player_delete.
typedef void (*XA_NotifyProc)(void* Client, uint32_t Message, uintptr_t WParam, intptr_t LParam);

// The second argument of player_new.
typedef struct XA_NotifyTarget {
  XA_NotifyProc proc;
  void* client;
} XA_NotifyTarget;

// Player priorities (player_set_priority): the player thread's scheduling
// niceness, from +10 (lowest) to -10 (highest); raising it above normal may
// need privileges the program lacks.
enum {
  XA_CONTROL_PRIORITY_LOWEST = 0,
  XA_CONTROL_PRIORITY_LOW = 1,
  XA_CONTROL_PRIORITY_NORMAL = 2,
  XA_CONTROL_PRIORITY_HIGH = 3,
  XA_CONTROL_PRIORITY_HIGHEST = 4,
};

// ---------------------------------------------------------------- entry points
// Args: a const XA_NotifyTarget*, copied. The player starts with
// XA_MSG_NOTIFY_READY.
XA_API int player_new(XA_Player** Player, void* Args);
// Stops playing, sends XA_MSG_NOTIFY_EXITED, ends the player's thread and
// returns once it has ended: no notification follows.
XA_API int player_delete(XA_Player* Player);
XA_API int player_set_priority(XA_Player* Player, int Priority);
// The priority, or a negative error code.
XA_API int player_get_priority(XA_Player* Player);
// A text for an error code; never null.
XA_API const char* xaudio_error_string(int Code);
XA_API uint32_t xaudio_get_version(int Api);

XA_API int control_message_send_N(XA_Player* Player, int Code);
XA_API int control_message_send_P(XA_Player* Player, int Code, const void* Pointer);
XA_API int control_message_send_S(XA_Player* Player, int Code, const char* String);
XA_API int control_message_send_SS(XA_Player* Player, int Code, const char* String1,
                                   const char* String2);
XA_API int control_message_send_SI(XA_Player* Player, int Code, const char* String, int Integer);
XA_API int control_message_send_IPI(XA_Player* Player, int Code, int Integer1, const void* Pointer,
                                    int Integer2);
XA_API int control_message_send_I(XA_Player* Player, int Code, int Integer);
XA_API int control_message_send_II(XA_Player* Player, int Code, int Integer1, int Integer2);
XA_API int control_message_send_III(XA_Player* Player, int Code, int Integer1, int Integer2,
                                    int Integer3);
XA_API int control_message_send_IIII(XA_Player* Player, int Code, int Integer1, int Integer2,
                                     int Integer3, int Integer4);

// Decodes the parameters a notification procedure received into *Message.
// XA_SUCCESS when they are a notification of this library; XA_FAILURE for
// anything else (Message is then left alone).
XA_API int control_win32_params_to_message(XA_Player* Player, XA_Message* Message,
                                           uint32_t WinMessage, uintptr_t WParam, intptr_t LParam);

// The function types, for clients that bind the library at run time.
typedef int (*XA_player_new)(XA_Player**, void*);
typedef int (*XA_player_delete)(XA_Player*);
typedef int (*XA_player_set_priority)(XA_Player*, int);
typedef int (*XA_player_get_priority)(XA_Player*);
typedef const char* (*XA_xaudio_error_string)(int);
typedef uint32_t (*XA_xaudio_get_version)(int);
typedef int (*XA_control_message_send_N)(XA_Player*, int);
typedef int (*XA_control_message_send_P)(XA_Player*, int, const void*);
typedef int (*XA_control_message_send_S)(XA_Player*, int, const char*);
typedef int (*XA_control_message_send_SS)(XA_Player*, int, const char*, const char*);
typedef int (*XA_control_message_send_SI)(XA_Player*, int, const char*, int);
typedef int (*XA_control_message_send_IPI)(XA_Player*, int, int, const void*, int);
typedef int (*XA_control_message_send_I)(XA_Player*, int, int);
typedef int (*XA_control_message_send_II)(XA_Player*, int, int, int);
typedef int (*XA_control_message_send_III)(XA_Player*, int, int, int, int);
typedef int (*XA_control_message_send_IIII)(XA_Player*, int, int, int, int, int);
typedef int (*XA_control_win32_params_to_message)(XA_Player*, XA_Message*, uint32_t, uintptr_t,
                                                  intptr_t);

// The message number of every notification this library sends (WinMessage).
#define XA_NOTIFY_WINDOW_MESSAGE 0x9000u

#ifdef __cplusplus
}
#endif
