// FFmpeg's demuxer and decoder libraries, opened with dlopen the first time a
// file is decoded and kept for the life of the process. Only the calls the
// APE reader needs are bound; the headers are used for types only.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace ape {

struct TAvLibraries {
  decltype(&::avformat_alloc_context) avformat_alloc_context = nullptr;
  decltype(&::avformat_open_input) avformat_open_input = nullptr;
  decltype(&::avformat_close_input) avformat_close_input = nullptr;
  decltype(&::av_find_input_format) av_find_input_format = nullptr;
  decltype(&::av_read_frame) av_read_frame = nullptr;
  decltype(&::av_seek_frame) av_seek_frame = nullptr;

  decltype(&::avcodec_find_decoder) avcodec_find_decoder = nullptr;
  decltype(&::avcodec_alloc_context3) avcodec_alloc_context3 = nullptr;
  decltype(&::avcodec_free_context) avcodec_free_context = nullptr;
  decltype(&::avcodec_parameters_to_context) avcodec_parameters_to_context = nullptr;
  decltype(&::avcodec_open2) avcodec_open2 = nullptr;
  decltype(&::avcodec_send_packet) avcodec_send_packet = nullptr;
  decltype(&::avcodec_receive_frame) avcodec_receive_frame = nullptr;
  decltype(&::avcodec_flush_buffers) avcodec_flush_buffers = nullptr;
  decltype(&::av_packet_alloc) av_packet_alloc = nullptr;
  decltype(&::av_packet_free) av_packet_free = nullptr;
  decltype(&::av_packet_unref) av_packet_unref = nullptr;

  decltype(&::av_frame_alloc) av_frame_alloc = nullptr;
  decltype(&::av_frame_free) av_frame_free = nullptr;
  decltype(&::av_frame_unref) av_frame_unref = nullptr;
  decltype(&::av_dict_set) av_dict_set = nullptr;
  decltype(&::av_dict_free) av_dict_free = nullptr;
  decltype(&::av_log_set_callback) av_log_set_callback = nullptr;
  decltype(&::av_log_default_callback) av_log_default_callback = nullptr;
};

// The bound libraries, or null when one of them (or one call) is missing.
// Safe to call from any thread.
const TAvLibraries* AvLibraries();

// While registered, messages FFmpeg logs about Context (a format or codec
// context of ours) are not printed: the reader reports failures through its
// error codes. Everything else is logged as before.
void MuteAvContext(const void* Context);
void UnmuteAvContext(const void* Context);

}  // namespace ape
