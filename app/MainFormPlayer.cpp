// The song player and the length of a song, used by the Record--Mix page,
// and the external player of finished mixes.
#include <climits>
#include <cstdio>

#include "app/AudioFns.h"
#include "app/EventMarshal.h"
#include "app/MainForm.h"
#include "codecs/CodecRegistry.h"

namespace {

constexpr uint32_t kKeepLibraryPriority = 3;
const char* const kExternalPlayerTitle = "CoolPlayer";

}  // namespace

void TMainForm::CreatePlayerComponents() {
  Mp3Player = Make<TXaudioPlayer>("Mp3Player");
  Mp3Player->SetPriority(kKeepLibraryPriority);
  // By its full name: the library beside the program, never another one
  // found on the library path.
  Mp3Player->SetXaudioPath(FSetup.ProgramFolder + "libAudioPlayer.so");
  Mp3Player->SetPostToOwner(
      [this](std::function<void()> Task) { PostToThreadOf(this, std::move(Task)); });
  Mp3Player->OnNotifyInputTimecode = [this](TComponent* Sender, uint8_t H, uint8_t M, uint8_t S,
                                            uint8_t F) {
    Mp3PlayerNotifyInputTimecode(Sender, H, M, S, F);
  };
  Mp3Player->OnNotifyInputTimecodeGranularity = [this](TComponent* Sender, uint32_t G) {
    Mp3PlayerNotifyInputTimecodeGranularity(Sender, G);
  };
}

void TMainForm::Mp3PlayerNotifyInputTimecode(TComponent*, uint8_t, uint8_t, uint8_t, uint8_t) {}
void TMainForm::Mp3PlayerNotifyInputTimecodeGranularity(TComponent*, uint32_t) {}

QString TMainForm::GetAudioLengthText(const std::string& FileName) {
  const std::string Extension = LowerExtension(FileName);
  TFileInfo Info;
  if (Extension == ".mp3" || Extension == ".wav" || Extension == ".ogg" || Extension == ".ape" ||
      Extension == ".flac") {
    const TCodecEntry* Codec = FindCodecFor(FileName);
    try {
      if (Codec && Codec->Info) Info = Codec->Info(FileName);
    } catch (const std::exception&) {
      // A codec library that is missing: the file cannot be measured.
      Info.Valid = false;
    }
  }
  // An MP3 file whose frames give no length is as unreadable as a broken one.
  // A length too long to be known is as useless to the page as none.
  if (!Info.Valid || Info.Seconds < 0 || Info.Seconds > INT_MAX ||
      (Extension == ".mp3" && Info.Samples <= 0)) {
    SetStatus(QStringLiteral("Invalid audio file!!!"));
    // The lyric window scrolls with this: never the last song's length.
    AudioLengthSeconds = 0;
    return QStringLiteral("Unknown");
  }
  AudioLengthSeconds = static_cast<int>(Info.Seconds);
  char Text[32];
  std::snprintf(Text, sizeof Text, "%d:%02d", AudioLengthSeconds / 60, AudioLengthSeconds % 60);
  return QString::fromLatin1(Text);
}

void TMainForm::PlayInPlayer(const std::string& FileName) {
  int R = Mp3Player->OpenInput(FileName);
  if (R == XA_SUCCESS) R = Mp3Player->PlayInput();
  if (R != XA_SUCCESS)
    throw EXaudioException("Cannot play \"" + FileName + "\": " + Mp3Player->ErrorString(R));
}

int TMainForm::StartExternalPlayer(const std::string& File) {
  int Pid = 0;
  const int R = LaunchWithFile(FSetup.ProgramFolder + "external/CoolPlayer", File, &Pid);
  if (Pid > 0) FExternalPlayerPid = Pid;
  return R;
}

void TMainForm::CloseExternalPlayer() {
  CloseWindowByTitle(kExternalPlayerTitle);
  // Without X11 (a Wayland desktop) no window is found by its title: the
  // player this window started is ended through its process.
  if (FExternalPlayerPid > 0 && EndLaunchedProgram(FExternalPlayerPid)) FExternalPlayerPid = 0;
}
