#include "codecs/mac/AvLibraries.h"

#include <mutex>
#include <set>

#include "platform/DynamicLibrary.h"

namespace ape {

namespace {

struct TLoaded {
  TDynamicLibrary Util, Codec, Format;
  TAvLibraries Calls;
  bool Ok = false;
};

template <class Fn>
bool BindOne(const TDynamicLibrary& Lib, Fn*& Slot, const char* Name) {
  Slot = reinterpret_cast<Fn*>(Lib.Symbol(Name));
  return Slot != nullptr;
}

std::mutex& MuteLock() {
  static std::mutex M;
  return M;
}
std::set<const void*>& Muted() {
  static std::set<const void*> S;
  return S;
}
const TAvLibraries* LogCalls = nullptr;

void LogFilter(void* Avcl, int Level, const char* Fmt, va_list Args) {
  {
    std::lock_guard<std::mutex> L(MuteLock());
    if (Avcl && Muted().count(Avcl)) return;
  }
  LogCalls->av_log_default_callback(Avcl, Level, Fmt, Args);
}

TLoaded* Load() {
  auto* L = new TLoaded;  // kept for the life of the process
  if (!L->Util.Open("libavutil.so.57") || !L->Codec.Open("libavcodec.so.59") ||
      !L->Format.Open("libavformat.so.59"))
    return L;
  TAvLibraries& C = L->Calls;
  bool Ok = true;
  Ok &= BindOne(L->Format, C.avformat_alloc_context, "avformat_alloc_context");
  Ok &= BindOne(L->Format, C.avformat_open_input, "avformat_open_input");
  Ok &= BindOne(L->Format, C.avformat_close_input, "avformat_close_input");
  Ok &= BindOne(L->Format, C.av_find_input_format, "av_find_input_format");
  Ok &= BindOne(L->Format, C.av_read_frame, "av_read_frame");
  Ok &= BindOne(L->Format, C.av_seek_frame, "av_seek_frame");
  Ok &= BindOne(L->Codec, C.avcodec_find_decoder, "avcodec_find_decoder");
  Ok &= BindOne(L->Codec, C.avcodec_alloc_context3, "avcodec_alloc_context3");
  Ok &= BindOne(L->Codec, C.avcodec_free_context, "avcodec_free_context");
  Ok &= BindOne(L->Codec, C.avcodec_parameters_to_context, "avcodec_parameters_to_context");
  Ok &= BindOne(L->Codec, C.avcodec_open2, "avcodec_open2");
  Ok &= BindOne(L->Codec, C.avcodec_send_packet, "avcodec_send_packet");
  Ok &= BindOne(L->Codec, C.avcodec_receive_frame, "avcodec_receive_frame");
  Ok &= BindOne(L->Codec, C.avcodec_flush_buffers, "avcodec_flush_buffers");
  Ok &= BindOne(L->Codec, C.av_packet_alloc, "av_packet_alloc");
  Ok &= BindOne(L->Codec, C.av_packet_free, "av_packet_free");
  Ok &= BindOne(L->Codec, C.av_packet_unref, "av_packet_unref");
  Ok &= BindOne(L->Util, C.av_frame_alloc, "av_frame_alloc");
  Ok &= BindOne(L->Util, C.av_frame_free, "av_frame_free");
  Ok &= BindOne(L->Util, C.av_frame_unref, "av_frame_unref");
  Ok &= BindOne(L->Util, C.av_dict_set, "av_dict_set");
  Ok &= BindOne(L->Util, C.av_dict_free, "av_dict_free");
  Ok &= BindOne(L->Util, C.av_log_set_callback, "av_log_set_callback");
  Ok &= BindOne(L->Util, C.av_log_default_callback, "av_log_default_callback");
  if (!Ok) return L;
  L->Ok = true;
  LogCalls = &L->Calls;
  C.av_log_set_callback(LogFilter);
  return L;
}

}  // namespace

const TAvLibraries* AvLibraries() {
  static TLoaded* Loaded = Load();
  return Loaded->Ok ? &Loaded->Calls : nullptr;
}

void MuteAvContext(const void* Context) {
  std::lock_guard<std::mutex> L(MuteLock());
  Muted().insert(Context);
}

void UnmuteAvContext(const void* Context) {
  std::lock_guard<std::mutex> L(MuteLock());
  Muted().erase(Context);
}

}  // namespace ape
