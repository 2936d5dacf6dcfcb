// Run-time binding of libFLAC: one load flag (FLACLibrary()) and one table of
// entry points (FLAC()). The library's own headers give the types only; the
// stream encoder and decoder are the library's seekable interface.
#pragma once

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include "codecs/CodecLibrary.h"

// Entry points and message tables the adapters use: a library without one of
// them is refused.
// clang-format off: one entry point a line
#define VELMORA_FLAC_USED(X)                               \
  X(FLAC__stream_encoder_new)                              \
  X(FLAC__stream_encoder_delete)                           \
  X(FLAC__stream_encoder_set_verify)                       \
  X(FLAC__stream_encoder_set_channels)                     \
  X(FLAC__stream_encoder_set_bits_per_sample)              \
  X(FLAC__stream_encoder_set_sample_rate)                  \
  X(FLAC__stream_encoder_set_do_mid_side_stereo)           \
  X(FLAC__stream_encoder_set_loose_mid_side_stereo)        \
  X(FLAC__stream_encoder_set_blocksize)                    \
  X(FLAC__stream_encoder_set_max_lpc_order)                \
  X(FLAC__stream_encoder_set_qlp_coeff_precision)          \
  X(FLAC__stream_encoder_set_do_qlp_coeff_prec_search)     \
  X(FLAC__stream_encoder_set_min_residual_partition_order) \
  X(FLAC__stream_encoder_set_max_residual_partition_order) \
  X(FLAC__stream_encoder_set_do_exhaustive_model_search)   \
  X(FLAC__stream_encoder_set_total_samples_estimate)       \
  X(FLAC__stream_encoder_get_blocksize)                    \
  X(FLAC__stream_encoder_init_stream)                      \
  X(FLAC__stream_encoder_finish)                           \
  X(FLAC__stream_encoder_process_interleaved)              \
  X(FLAC__stream_decoder_new)                              \
  X(FLAC__stream_decoder_delete)                           \
  X(FLAC__stream_decoder_get_state)                        \
  X(FLAC__stream_decoder_init_stream)                      \
  X(FLAC__stream_decoder_finish)                           \
  X(FLAC__stream_decoder_flush)                            \
  X(FLAC__stream_decoder_process_single)                   \
  X(FLAC__stream_decoder_process_until_end_of_metadata)    \
  X(FLAC__stream_decoder_seek_absolute)                    \
  X(FLAC__stream_encoder_get_state)                        \
  X(FLAC__StreamEncoderStateString)                        \
  X(FLAC__StreamEncoderInitStatusString)                   \
  X(FLAC__StreamDecoderStateString)                        \
  X(FLAC__StreamDecoderErrorStatusString)
// clang-format on

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TFLACApi {
  VELMORA_FLAC_USED(VELMORA_ENTRY_SLOT)
};

// "libFLAC.so.12", loaded at program start (LoadCodecLibraries) or by the
// first FLAC component. A file that lacks one of the used entry points counts
// as not loaded.
TCodecLibrary& FLACLibrary();
// The table; valid while FLACLibrary() is loaded.
const TFLACApi& FLAC();
// Loads the library if needed; raises EACSException with "<file name> library
// could not be loaded." when it cannot be loaded.
void CheckFLAC();

// libFLAC's own names of its states and statuses ("FLAC__STREAM_DECODER_ERROR_
// STATUS_FRAME_CRC_MISMATCH"), for messages; valid while the library is loaded.
const char* FLACText(FLAC__StreamEncoderState State);
const char* FLACText(FLAC__StreamEncoderInitStatus Status);
const char* FLACText(FLAC__StreamDecoderState State);
const char* FLACText(FLAC__StreamDecoderErrorStatus Status);
