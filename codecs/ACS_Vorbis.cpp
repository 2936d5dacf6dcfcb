#include "codecs/ACS_Vorbis.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>

#include "codecs/Codec.h"
#include "codecs/VorbisEnc.h"
#include "codecs/VorbisFile.h"
#include "codecs/ogg.h"
#include "wave/RiffChunks.h"

using enum TVorbisBitRate;

// PCM between components is little-endian; the conversions below read it in
// place.
static_assert(std::endian::native == std::endian::little, "PCM is read as host-order samples");

namespace {

const long BitRates[] = {-1,     45000,  48000,  56000,  64000,  80000,  96000,  112000,
                         128000, 144000, 160000, 192000, 224000, 256000, 320000, 499000};

std::string ChannelText(int Channels) {
  return std::to_string(Channels) + (Channels == 1 ? " channel" : " channels");
}

std::string Kbps(long BitsPerSecond) { return std::to_string(BitsPerSecond / 1000); }

}  // namespace

long VorbisBitRateValue(TVorbisBitRate Value) {
  const int I = static_cast<int>(Value);
  if (I < 0 || I >= static_cast<int>(std::size(BitRates))) return -1;
  return BitRates[I];
}

bool VorbisBitRateFromKbps(int Kbps, TVorbisBitRate& Value) {
  for (int I = static_cast<int>(br45); I < static_cast<int>(std::size(BitRates)); ++I)
    if (BitRates[I] == static_cast<long>(Kbps) * 1000) {
      Value = static_cast<TVorbisBitRate>(I);
      return true;
    }
  return false;
}

namespace {

// The constructors' check: the four libraries in this order, each loaded on
// first use if the program did not load it at start.
void CheckVorbisLibraries() {
  for (TCodecLibrary* Lib :
       {&OggLibrary(), &VorbisLibrary(), &VorbisFileLibrary(), &VorbisEncLibrary()})
    if (!Lib->Load()) throw EACSException(Lib->LoadError());
}

}  // namespace

// ============================================================== TVorbisOut

// The library structures of one encoding job, cleared in reverse order of
// their set-up whatever happened in between.
struct TVorbisOut::TEncoder {
  vorbis_info Info{};
  vorbis_comment Comment{};
  vorbis_dsp_state Dsp{};
  vorbis_block Block{};
  ogg_stream_state Stream{};
  ogg_page Page{};
  ogg_packet Packet{};
  bool InfoReady = false, CommentReady = false, DspReady = false, BlockReady = false,
       StreamReady = false;

  TEncoder() = default;
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;
  ~TEncoder() {
    if (StreamReady) Ogg().ogg_stream_clear(&Stream);
    if (BlockReady) Vorbis().vorbis_block_clear(&Block);
    if (DspReady) Vorbis().vorbis_dsp_clear(&Dsp);
    if (CommentReady) Vorbis().vorbis_comment_clear(&Comment);
    if (InfoReady) Vorbis().vorbis_info_clear(&Info);
  }
};

TVorbisOut::TVorbisOut(TComponent* AOwner) : TACSFileOut(AOwner) { CheckVorbisLibraries(); }

TVorbisOut::~TVorbisOut() = default;

std::vector<std::string> TVorbisOut::Comments() const {
  std::lock_guard<std::mutex> L(FCommentsLock);
  return FComments;
}

void TVorbisOut::SetComments(const std::vector<std::string>& Lines) {
  std::lock_guard<std::mutex> L(FCommentsLock);
  FComments = Lines;
}

void TVorbisOut::AddComment(const std::string& Line) {
  std::lock_guard<std::mutex> L(FCommentsLock);
  FComments.push_back(Line);
}

void TVorbisOut::SetDesiredNominalBitrate(TVorbisBitRate Value) {
  FNominal = Value;
  if (Value < FMinimum) FMinimum = Value;
  if (FMaximum < Value) FMaximum = Value;
  if (Value == brAutoSelect) FMaximum = brAutoSelect;
}

void TVorbisOut::SetDesiredMaximumBitrate(TVorbisBitRate Value) {
  if (FNominal != brAutoSelect && (Value == brAutoSelect || Value >= FNominal)) FMaximum = Value;
}

void TVorbisOut::SetMinimumBitrate(TVorbisBitRate Value) {
  if (Value <= FNominal) FMinimum = Value;
}

void TVorbisOut::Prepare() {
  if (!FStreamAssigned && FFileName.empty()) throw EACSException("File name is not assigned.");
  CheckInputFile();
  TACSInput* In = Input();
  In->Init();
  FInputStarted = true;
  int64_t AppendFrom = -1;  // size of the file we append to, restored on failure
  try {
    FInBits = In->InBitsPerSample();
    FInChannels = In->InChannels();
    const int Rate = In->InSampleRate();
    if ((FInBits != 8 && FInBits != 16 && FInBits != 24) || FInChannels < 1 || FInChannels > 2)
      throw EACSException("Cannot encode " + std::to_string(FInBits) + "-bit " +
                          ChannelText(FInChannels) + " into Ogg Vorbis.");

    // The encoder is set up before the output is touched: a set-up the
    // library refuses leaves any existing file as it was.
    auto E = std::make_unique<TEncoder>();
    const TVorbisApi& V = Vorbis();
    V.vorbis_info_init(&E->Info);
    E->InfoReady = true;
    if (FNominal != brAutoSelect) {
      const long Nominal = VorbisBitRateValue(FNominal);
      long Maximum = VorbisBitRateValue(FMaximum);
      if (Maximum < Nominal) Maximum = Nominal;
      long Minimum = VorbisBitRateValue(FMinimum);
      if (Minimum < 0) Minimum = Nominal;
      if (VorbisEnc().vorbis_encode_init(&E->Info, FInChannels, Rate, Maximum, Nominal, Minimum))
        throw EACSException("The Ogg Vorbis encoder cannot encode " + ChannelText(FInChannels) +
                            " at " + std::to_string(Rate) + " Hz with a bit rate of " +
                            Kbps(Nominal) + " kbit/s (minimum " + Kbps(Minimum) + ", maximum " +
                            Kbps(Maximum) + ").");
    } else if (VorbisEnc().vorbis_encode_init_vbr(&E->Info, FInChannels, Rate, FCompression)) {
      char Q[32];
      std::snprintf(Q, sizeof Q, "%.2f", static_cast<double>(FCompression));
      throw EACSException("The Ogg Vorbis encoder cannot encode " + ChannelText(FInChannels) +
                          " at " + std::to_string(Rate) + " Hz with quality " + Q + ".");
    }

    V.vorbis_comment_init(&E->Comment);
    E->CommentReady = true;
    for (const std::string& Line : Comments()) {
      const size_t Eq = Line.find('=');
      if (Eq == std::string::npos || Eq == 0)
        throw EACSException("Comment \"" + Line + "\" is not of the form NAME=value.");
      V.vorbis_comment_add_tag(&E->Comment, Line.substr(0, Eq).c_str(),
                               Line.substr(Eq + 1).c_str());
    }
    if (V.vorbis_analysis_init(&E->Dsp, &E->Info))
      throw EACSException("The Ogg Vorbis encoder could not be started.");
    E->DspReady = true;
    V.vorbis_block_init(&E->Dsp, &E->Block);
    E->BlockReady = true;

    if (!FStreamAssigned) {
      if (FFileMode == foAppend && FileExists(FFileName))
        FOwnStream = std::make_unique<TFileStream>(FFileName, TFileMode::fmOpenReadWrite);
      else
        FOwnStream = std::make_unique<TReplacementFile>(FFileName);
      FStream = FOwnStream.get();
    }
    int StreamSerial = FSerial;
    if (FFileMode == foAppend) {
      StreamSerial = FreeSerialAfterExistingData();
      AppendFrom = FStream->Seek(0, TSeekOrigin::soEnd);
    }
    Ogg().ogg_stream_init(&E->Stream, StreamSerial);
    E->StreamReady = true;

    ogg_packet Header{}, CommentHeader{}, CodeHeader{};
    V.vorbis_analysis_headerout(&E->Dsp, &E->Comment, &Header, &CommentHeader, &CodeHeader);
    Ogg().ogg_stream_packetin(&E->Stream, &Header);
    Ogg().ogg_stream_packetin(&E->Stream, &CommentHeader);
    Ogg().ogg_stream_packetin(&E->Stream, &CodeHeader);
    // The headers stand on pages of their own before any audio.
    while (Ogg().ogg_stream_flush(&E->Stream, &E->Page) != 0) {
      FStream->WriteBuffer(E->Page.header, E->Page.header_len);
      FStream->WriteBuffer(E->Page.body, E->Page.body_len);
    }
    FEncoder = std::move(E);
    FEndOfStream = false;
    FCarry = 0;
  } catch (...) {
    // Run does not call Done after a failed Prepare: undo here.
    if (AppendFrom >= 0 && FStream) {
      try {
        FStream->SetSize(AppendFrom);
      } catch (...) {
        // The failure being raised is the cause; this one is its echo.
      }
    }
    FOwnStream.reset();
    if (!FStreamAssigned) FStream = nullptr;
    FInputStarted = false;
    try {
      In->Flush();
    } catch (...) {
      // The failure being raised is the cause; this one is its echo.
    }
    throw;
  }
}

int TVorbisOut::FreeSerialAfterExistingData() {
  // Walk the pages of the existing data: it must be whole Ogg pages, or the
  // chained stream would be unreadable (and so would what was there).
  std::set<uint32_t> Used;
  const int64_t End = FStream->Size();
  int64_t Pos = 0;
  uint8_t Head[27 + 255];
  while (Pos < End) {
    FStream->SetPosition(Pos);
    if (FStream->Read(Head, 27) != 27 || std::memcmp(Head, "OggS", 4) != 0 ||
        FStream->Read(Head + 27, Head[26]) != Head[26])
      throw EACSException("Cannot append data to this .ogg file.");
    int64_t Body = 0;
    for (int I = 0; I < Head[26]; ++I) Body += Head[27 + I];
    Used.insert(GetLe32(Head + 14));
    Pos += 27 + Head[26] + Body;
    if (Pos > End) throw EACSException("Cannot append data to this .ogg file.");
  }
  uint32_t S = static_cast<uint32_t>(FSerial);
  while (Used.count(S)) ++S;
  return static_cast<int>(S);
}

void TVorbisOut::Analyse(int Frames) {
  float** Buf = Vorbis().vorbis_analysis_buffer(&FEncoder->Dsp, Frames);
  const float Scale16 = 1.0f / 32768.0f, Scale8 = 1.0f / 128.0f;
  if (FInBits == 16) {
    const int16_t* S = FPcm.data();
    if (FInChannels == 2) {
      float* L = Buf[0];
      float* R = Buf[1];
      for (int I = 0; I < Frames; ++I) {
        L[I] = S[2 * I] * Scale16;
        R[I] = S[2 * I + 1] * Scale16;
      }
    } else {
      for (int I = 0; I < Frames; ++I) Buf[0][I] = S[I] * Scale16;
    }
  } else if (FInBits == 24) {
    // All 24 bits reach the encoder.
    const auto* S = reinterpret_cast<const uint8_t*>(FPcm.data());
    const float Scale24 = 1.0f / 8388608.0f;
    for (int C = 0; C < FInChannels; ++C)
      for (int I = 0; I < Frames; ++I)
        Buf[C][I] = static_cast<float>(GetLe24Signed(S + 3 * (I * FInChannels + C))) * Scale24;
  } else {
    const auto* S = reinterpret_cast<const uint8_t*>(FPcm.data());
    for (int C = 0; C < FInChannels; ++C)
      for (int I = 0; I < Frames; ++I)
        Buf[C][I] = (static_cast<int>(S[I * FInChannels + C]) - 128) * Scale8;
  }
  Vorbis().vorbis_analysis_wrote(&FEncoder->Dsp, Frames);
}

void TVorbisOut::WritePages(bool Flush) {
  const TVorbisApi& V = Vorbis();
  const TOggApi& O = Ogg();
  TEncoder& E = *FEncoder;
  auto Write = [this, &E] {
    FStream->WriteBuffer(E.Page.header, E.Page.header_len);
    FStream->WriteBuffer(E.Page.body, E.Page.body_len);
  };
  while (V.vorbis_analysis_blockout(&E.Dsp, &E.Block) == 1) {
    V.vorbis_analysis(&E.Block, nullptr);
    V.vorbis_bitrate_addblock(&E.Block);
    while (V.vorbis_bitrate_flushpacket(&E.Dsp, &E.Packet) == 1) {
      O.ogg_stream_packetin(&E.Stream, &E.Packet);
      while (!FEndOfStream && O.ogg_stream_pageout(&E.Stream, &E.Page) != 0) {
        Write();
        if (O.ogg_page_eos(&E.Page)) FEndOfStream = true;
      }
    }
  }
  if (Flush)
    while (O.ogg_stream_flush(&E.Stream, &E.Page) != 0) Write();
}

bool TVorbisOut::DoOutput(bool Abort) {
  if (!Active()) return true;
  ReportProgress();
  if (Abort || FEndOfStream) return false;
  auto* Bytes = reinterpret_cast<uint8_t*>(FPcm.data());
  const int Capacity = static_cast<int>(sizeof FPcm);
  const int N = ReadInput(Bytes + FCarry, Capacity - FCarry);
  if (N > 0) {
    // A source may hand over part of a frame; it is kept for the next step so
    // that the channels never slip.
    const int FrameBytes = FInChannels * FInBits / 8;
    const int Have = FCarry + N;
    const int Frames = Have / FrameBytes;
    if (Frames > 0) Analyse(Frames);
    FCarry = Have - Frames * FrameBytes;
    if (FCarry) std::memmove(Bytes, Bytes + Frames * FrameBytes, static_cast<size_t>(FCarry));
    WritePages(false);
  } else {
    FinishStream();
  }
  return true;
}

void TVorbisOut::FinishStream() {
  if (!FEncoder || !FStream || FEndOfStream) return;
  Vorbis().vorbis_analysis_wrote(&FEncoder->Dsp, 0);
  WritePages(true);
  FEndOfStream = true;
}

void TVorbisOut::BeforeDestruction() {
  TACSFileOut::BeforeDestruction();  // the worker has ended after this
  // A job cut short by destruction gets no Done from the engine: end the
  // stream here all the same, so that the file is a whole Ogg stream and the
  // input is flushed.
  try {
    Done();
  } catch (...) {
    // Destruction has no caller to report to; the file is closed anyway.
  }
}

void TVorbisOut::Done() {
  // A job that was stopped or failed on the input side still gets a properly
  // ended stream of what was encoded. A stream that cannot be ended fails the
  // job; the file is closed and the input flushed all the same.
  std::exception_ptr Failure;
  try {
    FinishStream();
  } catch (...) {
    Failure = std::current_exception();
  }
  FEndOfStream = true;
  // A new file takes the target's place, ended or not: Ogg pages carry no
  // total that could lie. (An appended file was written in place.)
  if (auto* R = dynamic_cast<TReplacementFile*>(FOwnStream.get())) {
    try {
      R->Commit();
    } catch (...) {
      if (!Failure) Failure = std::current_exception();
    }
  }
  FOwnStream.reset();
  if (!FStreamAssigned) FStream = nullptr;
  if (FInputStarted) {
    FInputStarted = false;
    try {
      if (TACSInput* In = Input()) In->Flush();
    } catch (...) {
      if (!Failure) Failure = std::current_exception();
    }
  }
  {
    std::lock_guard<std::mutex> L(FCommentsLock);
    FComments.clear();
  }
  FEncoder.reset();
  if (Failure) std::rethrow_exception(Failure);
}

// ============================================================== TVorbisIn

struct TVorbisIn::TDecoder {
  OggVorbis_File File{};
};

TVorbisIn::TVorbisIn(TComponent* AOwner) : TACSFileIn(AOwner) { CheckVorbisLibraries(); }

TVorbisIn::~TVorbisIn() {
  if (FDecoder) VorbisFile().ov_clear(&FDecoder->File);
}

size_t TVorbisIn::ReadCallback(void* Ptr, size_t Size, size_t Count, void* Source) {
  auto* Self = static_cast<TVorbisIn*>(Source);
  if (Size == 0 || Count == 0 || !Self->FStream) return 0;
  try {
    const int64_t N = Self->FStream->Read(Ptr, static_cast<int64_t>(Size * Count));
    errno = 0;  // a short read is the end of the data, not an error
    return static_cast<size_t>(N) / Size;
  } catch (const std::exception& E) {
    Self->FStreamError = E.what();
  } catch (...) {
    Self->FStreamError = "Unknown read error";
  }
  errno = EIO;  // tells vorbisfile that the 0 is a failure
  return 0;
}

int TVorbisIn::SeekCallback(void* Source, int64_t Offset, int Whence) {
  auto* Self = static_cast<TVorbisIn*>(Source);
  // -1 makes vorbisfile treat the data as a stream it cannot seek in.
  if (!Self->FSeekable || !Self->FStream) return -1;
  const TSeekOrigin Origin = Whence == SEEK_SET   ? TSeekOrigin::soBeginning
                             : Whence == SEEK_CUR ? TSeekOrigin::soCurrent
                                                  : TSeekOrigin::soEnd;
  try {
    Self->FStream->Seek(Offset, Origin);
    return 0;
  } catch (...) {
    return -1;
  }
}

int TVorbisIn::CloseCallback(void* Source) {
  auto* Self = static_cast<TVorbisIn*>(Source);
  try {
    if (Self->FStreamAssigned) {
      if (Self->FStream) Self->FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
      Self->FOwnStream.reset();
      Self->FStream = nullptr;
    }
  } catch (...) {
    // vorbisfile ignores what close returns; a stream that cannot rewind
    // fails on its next use, where the error reaches the caller.
  }
  return 0;
}

long TVorbisIn::TellCallback(void* Source) {
  auto* Self = static_cast<TVorbisIn*>(Source);
  if (!Self->FStream) return -1;
  try {
    return static_cast<long>(Self->FStream->Position());
  } catch (...) {
    return -1;
  }
}

void TVorbisIn::OpenFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened > 0) {
    ++FOpened;
    return;
  }
  FValid = true;
  FEndOfFile = false;
  FStreamError.clear();
  auto Invalid = [this] {
    FValid = false;
    FChan = FSR = FBPS = 0;
    FTotalSamples = 0;
    FSize = 0;
    FComments.clear();
  };
  if (!FStreamAssigned) {
    try {
      FOwnStream = std::make_unique<TFileStream>(FFileName, TFileMode::fmOpenRead);
    } catch (const std::exception&) {
      Invalid();
      return;
    }
    FStream = FOwnStream.get();
  }
  const TVorbisFileApi& VF = VorbisFile();
  auto D = std::make_unique<TDecoder>();
  const ov_callbacks Callbacks = {ReadCallback, SeekCallback, CloseCallback, TellCallback};
  if (VF.ov_open_callbacks(this, &D->File, nullptr, 0, Callbacks) != 0) {
    // Not Ogg Vorbis, or its headers are damaged. vorbisfile has cleared the
    // handle but left the data source to us.
    CloseCallback(this);
    Invalid();
    return;
  }
  FDecoder = std::move(D);
  OggVorbis_File* F = &FDecoder->File;

  FComments.clear();
  if (const vorbis_comment* C = VF.ov_comment(F, -1))
    for (int I = 0; I < C->comments; ++I)
      FComments.emplace_back(C->user_comments[I], static_cast<size_t>(C->comment_lengths[I]));

  const vorbis_info* Info = VF.ov_info(F, -1);
  FChan = Info->channels;
  FSR = static_cast<int>(Info->rate);
  FBPS = 16;
  if (VF.ov_seekable(F)) {
    // Chained streams count as long as they keep the first one's format; the
    // data ends where a stream of another format begins.
    int64_t Total = 0;
    const long Links = VF.ov_streams(F);
    for (long Link = 0; Link < Links; ++Link) {
      const vorbis_info* I = VF.ov_info(F, static_cast<int>(Link));
      const int64_t N = VF.ov_pcm_total(F, static_cast<int>(Link));
      if (!I || I->channels != FChan || I->rate != FSR || N < 0) break;
      Total += N;
    }
    FTotalSamples = Total;
    // WATCHOUT: vorbisfile can leave a chained file positioned at its second
    // stream when the first one is short; seeking to sample 0 starts the data
    // where it really starts.
    if (Links > 1) VF.ov_pcm_seek(F, 0);
    FSize = static_cast<int64_t>(FChan) * FTotalSamples * 2;
  } else {
    FTotalSamples = 0;
    FSize = -1;
  }
  FSection = -1;
  ++FOpened;
}

void TVorbisIn::CloseFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 1 && FDecoder) {
    VorbisFile().ov_clear(&FDecoder->File);  // runs the close call-back
    FDecoder.reset();
  }
  if (FOpened > 0) --FOpened;
}

void TVorbisIn::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  TACSFileIn::Init();
  if (!FDecoder) {
    Flush();
    throw EACSException("Not an Ogg Vorbis file, or a damaged one: " + FFileName);
  }
}

bool TVorbisIn::Seek(int64_t SampleNumber) {
  if (!FSeekable) return false;
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  OpenFile();
  const bool Ok = FDecoder && VorbisFile().ov_pcm_seek(&FDecoder->File, SampleNumber) == 0;
  CloseFile();
  if (Ok) {
    // What was decoded before the seek is no longer next.
    FBufStart = 1;
    FBufEnd = 0;
    FEndOfFile = false;
  }
  return Ok;
}

std::vector<std::string> TVorbisIn::Comments() {
  return Query([this] { return FComments; });
}

void TVorbisIn::FillBuffer() {
  if (!FDecoder) {
    FEndOfFile = true;
    return;
  }
  const TVorbisFileApi& VF = VorbisFile();
  const int64_t Limit = Size();
  const int Capacity = static_cast<int>(FBuffer.size());
  const int FrameBytes = FChan > 0 ? FChan * 2 : 1;
  while (FBufEnd + FrameBytes <= Capacity) {
    int Section = FSection;
    const long R = VF.ov_read(&FDecoder->File, reinterpret_cast<char*>(FBuffer.data()) + FBufEnd,
                              Capacity - FBufEnd, 0, 2, 1, &Section);
    if (R == OV_HOLE) continue;  // a gap in damaged data: decoding goes on after it
    if (R <= 0) {
      FEndOfFile = true;
      if (R < 0 && !FStreamError.empty()) throw EACSException(FStreamError);
      return;
    }
    if (Section != FSection) {
      FSection = Section;
      const vorbis_info* I = VF.ov_info(&FDecoder->File, -1);
      if (!I || I->channels != FChan || I->rate != FSR) {
        FEndOfFile = true;  // a chained stream of another format: not ours to mix in
        return;
      }
    }
    FBufEnd += static_cast<int>(R);
    if (Limit >= 0 && Position() + FBufEnd >= Limit) {
      FBufEnd = static_cast<int>(std::max<int64_t>(0, Limit - Position()));
      FEndOfFile = true;
      return;
    }
  }
}

int TVorbisIn::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FBufStart > FBufEnd) {
    FBufStart = 1;
    FBufEnd = 0;
    if (!FEndOfFile) FillBuffer();
    if (FBufEnd == 0 && FEndOfFile && FLoop) {
      Flush();
      Init();
      FEndOfFile = false;
      FillBuffer();
    }
  }
  const int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
  if (N <= 0) return 0;
  std::memcpy(Buffer, FBuffer.data() + FBufStart - 1, static_cast<size_t>(N));
  FBufStart += N;
  FPosition += N;
  return N;
}
