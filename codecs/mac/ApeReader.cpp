#include "codecs/mac/ApeReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "codecs/mac/Checksums.h"

namespace ape {

namespace {

// No file written by any known encoder has frames anywhere near this long;
// it bounds what a hostile header can make the reader allocate.
constexpr int64_t kMaxFrameBlocks = 1 << 22;

uint32_t Le32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
         static_cast<uint32_t>(P[2]) << 16 | static_cast<uint32_t>(P[3]) << 24;
}

bool Readable(const char* FileName) {
  const int Fd = ::open(FileName, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return false;
  ::close(Fd);
  return true;
}

}  // namespace

TApeReader::~TApeReader() { Close(); }

void TApeReader::Close() {
  if (!FAv) return;
  if (FFrame) FAv->av_frame_free(&FFrame);
  if (FPacket) FAv->av_packet_free(&FPacket);
  if (FCodec) {
    UnmuteAvContext(FCodec);
    FAv->avcodec_free_context(&FCodec);
  }
  if (FFormat) {
    UnmuteAvContext(FFormat);
    FAv->avformat_close_input(&FFormat);
  }
}

int TApeReader::Open(const char* FileName) {
  if (!FileName || !*FileName) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (!Readable(FileName)) return APE_ERROR_INVALID_INPUT_FILE;
  FAv = AvLibraries();
  if (!FAv) return APE_ERROR_INITIALIZING_UNMAC;

  FFormat = FAv->avformat_alloc_context();
  if (!FFormat) return APE_ERROR_INSUFFICIENT_MEMORY;
  MuteAvContext(FFormat);
  AVFormatContext* Ctx = FFormat;
  // The format is fixed: a damaged file must not be taken for something else.
  if (FAv->avformat_open_input(&FFormat, FileName, FAv->av_find_input_format("ape"), nullptr) < 0) {
    UnmuteAvContext(Ctx);  // FFmpeg has freed the context
    FFormat = nullptr;
    return APE_ERROR_INVALID_INPUT_FILE;
  }
  if (FFormat->nb_streams < 1) return APE_ERROR_INVALID_INPUT_FILE;
  const AVStream* St = FFormat->streams[0];
  const AVCodecParameters* Par = St->codecpar;
  if (Par->codec_id != AV_CODEC_ID_APE) return APE_ERROR_UNSUPPORTED_FILE_TYPE;
  FStream = 0;
  FRate = Par->sample_rate;
  FBits = Par->bits_per_coded_sample;
  FChannels = Par->ch_layout.nb_channels;
  if (FBits != 8 && FBits != 16 && FBits != 24) return APE_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;
  if (FChannels != 1 && FChannels != 2) return APE_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT;
  if (FRate <= 0) return APE_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE;
  FBlockAlign = FChannels * FBits / 8;
  // A length beyond years of audio is a damaged header.
  if (St->duration == AV_NOPTS_VALUE || St->duration < 0 || St->duration > (int64_t{1} << 40))
    return APE_ERROR_INVALID_INPUT_FILE;
  FTotalBlocks = St->duration;
  if (Par->extradata && Par->extradata_size >= 2)
    FVersion = Par->extradata[0] | Par->extradata[1] << 8;

  const AVCodec* Codec = FAv->avcodec_find_decoder(AV_CODEC_ID_APE);
  if (!Codec) return APE_ERROR_INITIALIZING_UNMAC;
  FCodec = FAv->avcodec_alloc_context3(Codec);
  if (!FCodec) return APE_ERROR_INSUFFICIENT_MEMORY;
  MuteAvContext(FCodec);
  if (FAv->avcodec_parameters_to_context(FCodec, Par) < 0) return APE_ERROR_INVALID_INPUT_FILE;
  if (FAv->avcodec_open2(FCodec, Codec, nullptr) < 0) return APE_ERROR_INVALID_INPUT_FILE;
  FPacket = FAv->av_packet_alloc();
  FFrame = FAv->av_frame_alloc();
  if (!FPacket || !FFrame) return APE_ERROR_INSUFFICIENT_MEMORY;
  return APE_ERROR_SUCCESS;
}

int TApeReader::Append(const AVFrame* F, int64_t Limit) {
  if (F->ch_layout.nb_channels != FChannels || F->nb_samples < 0)
    return -APE_ERROR_DECOMPRESSING_FRAME;
  const int N = F->nb_samples;
  const size_t Old = FPcm.size();
  if (static_cast<int64_t>(Old / FBlockAlign) + N > Limit) return -APE_ERROR_DECOMPRESSING_FRAME;
  FPcm.resize(Old + static_cast<size_t>(N) * FBlockAlign);
  uint8_t* D = FPcm.data() + Old;
  const int Ch = FChannels;
  switch (F->format) {
    case AV_SAMPLE_FMT_U8P:
      if (FBits != 8) return -APE_ERROR_DECOMPRESSING_FRAME;
      for (int C = 0; C < Ch; ++C) {
        const uint8_t* S = F->extended_data[C];
        for (int I = 0; I < N; ++I) D[I * Ch + C] = S[I];
      }
      break;
    case AV_SAMPLE_FMT_S16P:
      if (FBits != 16) return -APE_ERROR_DECOMPRESSING_FRAME;
      for (int C = 0; C < Ch; ++C) {
        const auto* S = reinterpret_cast<const int16_t*>(F->extended_data[C]);
        for (int I = 0; I < N; ++I) {
          const auto V = static_cast<uint16_t>(S[I]);
          D[2 * (I * Ch + C)] = static_cast<uint8_t>(V);
          D[2 * (I * Ch + C) + 1] = static_cast<uint8_t>(V >> 8);
        }
      }
      break;
    case AV_SAMPLE_FMT_S32P:
      // 24-bit samples arrive shifted into the top of 32 bits.
      if (FBits != 24) return -APE_ERROR_DECOMPRESSING_FRAME;
      for (int C = 0; C < Ch; ++C) {
        const auto* S = reinterpret_cast<const int32_t*>(F->extended_data[C]);
        for (int I = 0; I < N; ++I) {
          const auto V = static_cast<uint32_t>(S[I]) >> 8;
          uint8_t* P = D + 3 * (I * Ch + C);
          P[0] = static_cast<uint8_t>(V);
          P[1] = static_cast<uint8_t>(V >> 8);
          P[2] = static_cast<uint8_t>(V >> 16);
        }
      }
      break;
    default:
      return -APE_ERROR_DECOMPRESSING_FRAME;
  }
  return 0;
}

int TApeReader::DecodeFrame() {
  FPcm.clear();
  FPcmPos = 0;
  for (;;) {
    const int R = FAv->av_read_frame(FFormat, FPacket);
    if (R == AVERROR_EOF) {
      // Frames missing from a cut-off file end the data early.
      return FNextBlock < FTotalBlocks ? -APE_ERROR_DECOMPRESSING_FRAME : 0;
    }
    if (R < 0) return -APE_ERROR_IO_READ;
    if (FPacket->stream_index == FStream) break;
    FAv->av_packet_unref(FPacket);
  }
  struct TUnref {
    const TAvLibraries* Av;
    AVPacket* P;
    ~TUnref() { Av->av_packet_unref(P); }
  } Unref{FAv, FPacket};

  // The demuxer puts the frame's block count and the byte offset of its start
  // inside the first word ahead of the frame's words.
  const uint8_t* P = FPacket->data;
  const int Size = FPacket->size;
  if (!P || Size < 8) return -APE_ERROR_DECOMPRESSING_FRAME;
  const int64_t Blocks = Le32(P);
  const uint32_t Skip = Le32(P + 4);
  if (Blocks <= 0 || Blocks > kMaxFrameBlocks || Skip > 3) return -APE_ERROR_DECOMPRESSING_FRAME;
  bool HaveCrc = false;
  uint32_t Crc = 0;
  if (FVersion >= 3900) {
    // Words are stored little-endian with the frame's first byte most
    // significant; the CRC is the frame's first big-endian word.
    if (static_cast<int64_t>(Size) < 8 + Skip + 4) return -APE_ERROR_DECOMPRESSING_FRAME;
    for (uint32_t I = Skip; I < Skip + 4; ++I) Crc = Crc << 8 | P[8 + (I & ~3u) + 3 - (I & 3u)];
    Crc &= 0x7FFFFFFFu;
    HaveCrc = true;
  }
  const int64_t Start = FPacket->pts == AV_NOPTS_VALUE ? FNextBlock : FPacket->pts;

  if (FAv->avcodec_send_packet(FCodec, FPacket) < 0) {
    FAv->avcodec_flush_buffers(FCodec);
    return -APE_ERROR_DECOMPRESSING_FRAME;
  }
  for (;;) {
    const int R = FAv->avcodec_receive_frame(FCodec, FFrame);
    if (R == AVERROR(EAGAIN)) break;
    if (R < 0) {
      FAv->avcodec_flush_buffers(FCodec);
      return -APE_ERROR_DECOMPRESSING_FRAME;
    }
    const int A = Append(FFrame, Blocks);
    FAv->av_frame_unref(FFrame);
    if (A < 0) {
      FAv->avcodec_flush_buffers(FCodec);
      return A;
    }
  }
  if (static_cast<int64_t>(FPcm.size()) != Blocks * FBlockAlign) {
    FAv->avcodec_flush_buffers(FCodec);
    return -APE_ERROR_DECOMPRESSING_FRAME;
  }
  if (HaveCrc && (Crc32Final(Crc32Update(Crc32Start(), FPcm.data(), FPcm.size())) >> 1) != Crc)
    return -APE_ERROR_INVALID_CHECKSUM;

  FNextBlock = Start + Blocks;
  if (FSeekTarget >= 0) {
    const int64_t Into = std::clamp<int64_t>(FSeekTarget - Start, 0, Blocks);
    FPcmPos = static_cast<size_t>(Into) * FBlockAlign;
    if (FSeekTarget < FNextBlock) FSeekTarget = -1;
  }
  return 1;
}

int TApeReader::GetData(uint8_t* Buffer, int64_t Blocks, int64_t* Retrieved) {
  if (Retrieved) *Retrieved = 0;
  if (!FFormat || !FCodec) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (Blocks < 0 || (Blocks > 0 && !Buffer)) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (FError) return FError;
  int64_t Got = 0;
  while (Got < Blocks) {
    const int64_t Avail = static_cast<int64_t>((FPcm.size() - FPcmPos) / FBlockAlign);
    if (Avail == 0) {
      if (FEnd) break;
      const int R = DecodeFrame();
      if (R < 0) {
        FError = -R;
        FPcm.clear();
        FPcmPos = 0;
        if (Retrieved) *Retrieved = Got;
        return FError;
      }
      if (R == 0) FEnd = true;
      continue;
    }
    const int64_t N = std::min(Avail, Blocks - Got);
    std::memcpy(Buffer + Got * FBlockAlign, FPcm.data() + FPcmPos,
                static_cast<size_t>(N) * FBlockAlign);
    FPcmPos += static_cast<size_t>(N) * FBlockAlign;
    Got += N;
  }
  if (Retrieved) *Retrieved = Got;
  return APE_ERROR_SUCCESS;
}

int TApeReader::Seek(int64_t Block) {
  if (!FFormat || !FCodec || Block < 0) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  Block = std::min(Block, FTotalBlocks);
  FError = 0;
  FPcm.clear();
  FPcmPos = 0;
  FSeekTarget = -1;
  if (Block == FTotalBlocks) {
    FEnd = true;
    FNextBlock = FTotalBlocks;
    return APE_ERROR_SUCCESS;
  }
  FEnd = false;
  if (FAv->av_seek_frame(FFormat, FStream, Block, AVSEEK_FLAG_BACKWARD) < 0) {
    FError = APE_ERROR_DECOMPRESSING_FRAME;
    return FError;
  }
  FAv->avcodec_flush_buffers(FCodec);
  FSeekTarget = Block;
  FNextBlock = Block;
  return APE_ERROR_SUCCESS;
}

intptr_t TApeReader::GetInfo(int Field) const {
  switch (Field) {
    case APE_INFO_SAMPLE_RATE:
      return FRate;
    case APE_INFO_BITS_PER_SAMPLE:
      return FBits;
    case APE_INFO_CHANNELS:
      return FChannels;
    case APE_INFO_WAV_DATA_BYTES:
      return static_cast<intptr_t>(FTotalBlocks * FBlockAlign);
    case APE_DECOMPRESS_LENGTH_MS:
      return FRate > 0 ? static_cast<intptr_t>(FTotalBlocks * 1000 / FRate) : 0;
    default:
      return 0;
  }
}

}  // namespace ape
