#include "wave/MSAcm.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

struct TAcmStream {
  std::shared_ptr<TAcmDriver> Driver;  // kept installed for the stream's life
  std::unique_ptr<TAcmConversion> Conversion;
  int Prepared = 0;  // headers prepared and not yet unprepared
};

namespace {

std::mutex GDriverLock;
std::vector<std::shared_ptr<TAcmDriver>>& Drivers() {
  static std::vector<std::shared_ptr<TAcmDriver>> D;
  return D;
}

// A copy of the list, so that no driver runs under the lock.
std::vector<std::shared_ptr<TAcmDriver>> InstalledDrivers() {
  std::lock_guard<std::mutex> L(GDriverLock);
  return Drivers();
}

// What prepare records in the header, to check it on later calls.
enum TReserved { rsStream = 0, rsSource = 1, rsSourceLength = 2, rsDest = 3, rsDestLength = 4 };

bool PreparedOn(const TAcmStream* S, const TAcmStreamHeader* H) {
  return (H->Status & kAcmHeaderPrepared) != 0 &&
         H->ReservedDriver[rsStream] == reinterpret_cast<uintptr_t>(S);
}

}  // namespace

void AcmInstallDriver(std::shared_ptr<TAcmDriver> Driver) {
  if (!Driver) return;
  std::lock_guard<std::mutex> L(GDriverLock);
  for (const auto& D : Drivers())
    if (D == Driver) return;
  Drivers().push_back(std::move(Driver));
}

void AcmRemoveDriver(const TAcmDriver* Driver) {
  std::lock_guard<std::mutex> L(GDriverLock);
  auto& D = Drivers();
  D.erase(std::remove_if(D.begin(), D.end(), [Driver](const auto& P) { return P.get() == Driver; }),
          D.end());
}

uint32_t acmMetrics(void* Object, uint32_t Metric, void* Value) {
  if (Object || !Value) return kAcmInvalidParam;
  if (Metric != kAcmMetricMaxSizeFormat) return kAcmNotSupported;
  uint32_t Largest = sizeof(TWaveFormatEx);
  for (const auto& D : InstalledDrivers()) Largest = std::max(Largest, D->MaxFormatSize());
  std::memcpy(Value, &Largest, sizeof Largest);
  return kAcmNoError;
}

uint32_t acmFormatSuggest(void* Driver, const TWaveFormatEx* Source, TWaveFormatEx* Dest,
                          uint32_t DestSize, uint32_t Flags) {
  if (Driver || !Source || !Dest || DestSize < 16) return kAcmInvalidParam;
  constexpr uint32_t Known =
      kAcmSuggestFormatTag | kAcmSuggestChannels | kAcmSuggestSampleRate | kAcmSuggestBitsPerSample;
  if (Flags & ~Known) return kAcmInvalidFlag;
  for (const auto& D : InstalledDrivers())
    if (D->Suggest(*Source, *Dest, DestSize, Flags) == kAcmNoError) return kAcmNoError;
  return kAcmNotPossible;
}

uint32_t acmStreamOpen(TAcmStream** Stream, void* Driver, const TWaveFormatEx* Source,
                       const TWaveFormatEx* Dest, void* Filter, uintptr_t Callback,
                       uintptr_t Instance, uint32_t Flags) {
  (void)Instance;
  const bool Query = (Flags & kAcmOpenQuery) != 0;
  if (Driver || Filter || Callback || !Source || !Dest || (!Query && !Stream))
    return kAcmInvalidParam;
  if (Flags & ~(kAcmOpenQuery | kAcmOpenNonRealtime)) return kAcmInvalidFlag;
  if (Stream && !Query) *Stream = nullptr;
  for (const auto& D : InstalledDrivers()) {
    std::unique_ptr<TAcmConversion> C;
    uint32_t R;
    try {
      R = D->Open(*Source, *Dest, Query, C);
    } catch (const std::bad_alloc&) {
      return kAcmNoMemory;
    }
    if (R != kAcmNoError) continue;
    if (Query) return kAcmNoError;
    if (!C) return kAcmError;
    auto* S = new (std::nothrow) TAcmStream;
    if (!S) return kAcmNoMemory;
    S->Driver = D;
    S->Conversion = std::move(C);
    *Stream = S;
    return kAcmNoError;
  }
  return kAcmNoDriver;
}

uint32_t acmStreamSize(TAcmStream* Stream, uint32_t Input, uint32_t* OutputBytes, uint32_t Flags) {
  if (!Stream) return kAcmInvalidHandle;
  if (!OutputBytes) return kAcmInvalidParam;
  if (Flags != kAcmSizeSource) return kAcmInvalidFlag;
  return Stream->Conversion->OutputSize(Input, *OutputBytes);
}

uint32_t acmStreamPrepareHeader(TAcmStream* Stream, TAcmStreamHeader* H, uint32_t Flags) {
  if (!Stream) return kAcmInvalidHandle;
  if (!H || H->StructSize != sizeof(TAcmStreamHeader) || Flags != 0) return kAcmInvalidParam;
  if ((H->SourceLength && !H->Source) || (H->DestLength && !H->Dest)) return kAcmInvalidParam;
  if (H->Status & kAcmHeaderPrepared) return kAcmNoError;
  H->Status = kAcmHeaderPrepared;
  H->ReservedDriver[rsStream] = reinterpret_cast<uintptr_t>(Stream);
  H->ReservedDriver[rsSource] = reinterpret_cast<uintptr_t>(H->Source);
  H->ReservedDriver[rsSourceLength] = H->SourceLength;
  H->ReservedDriver[rsDest] = reinterpret_cast<uintptr_t>(H->Dest);
  H->ReservedDriver[rsDestLength] = H->DestLength;
  ++Stream->Prepared;
  return kAcmNoError;
}

uint32_t acmStreamConvert(TAcmStream* Stream, TAcmStreamHeader* H, uint32_t Flags) {
  if (!Stream) return kAcmInvalidHandle;
  if (!H || H->StructSize != sizeof(TAcmStreamHeader)) return kAcmInvalidParam;
  if (Flags & ~(kAcmConvertBlockAlign | kAcmConvertStart | kAcmConvertEnd)) return kAcmInvalidFlag;
  if (!PreparedOn(Stream, H)) return kAcmUnprepared;
  // The buffers are those prepared; the lengths may only shrink.
  if (reinterpret_cast<uintptr_t>(H->Source) != H->ReservedDriver[rsSource] ||
      reinterpret_cast<uintptr_t>(H->Dest) != H->ReservedDriver[rsDest] ||
      H->SourceLength > H->ReservedDriver[rsSourceLength] ||
      H->DestLength > H->ReservedDriver[rsDestLength])
    return kAcmInvalidParam;
  H->Status &= ~kAcmHeaderDone;
  H->SourceLengthUsed = 0;
  H->DestLengthUsed = 0;
  uint32_t R;
  try {
    R = Stream->Conversion->Convert(*H, Flags);
  } catch (const std::bad_alloc&) {
    R = kAcmNoMemory;
  } catch (...) {
    R = kAcmError;
  }
  H->SourceLengthUsed = std::min(H->SourceLengthUsed, H->SourceLength);
  H->DestLengthUsed = std::min(H->DestLengthUsed, H->DestLength);
  H->Status |= kAcmHeaderDone;
  return R;
}

uint32_t acmStreamUnprepareHeader(TAcmStream* Stream, TAcmStreamHeader* H, uint32_t Flags) {
  if (!Stream) return kAcmInvalidHandle;
  if (!H || H->StructSize != sizeof(TAcmStreamHeader) || Flags != 0) return kAcmInvalidParam;
  if (!PreparedOn(Stream, H)) return kAcmUnprepared;
  H->Status &= ~kAcmHeaderPrepared;
  std::fill(std::begin(H->ReservedDriver), std::end(H->ReservedDriver), 0);
  --Stream->Prepared;
  return kAcmNoError;
}

uint32_t acmStreamClose(TAcmStream* Stream, uint32_t Flags) {
  if (!Stream) return kAcmInvalidHandle;
  if (Flags != 0) return kAcmInvalidFlag;
  if (Stream->Prepared > 0) return kAcmBusy;
  delete Stream;
  return kAcmNoError;
}
