#include "tests/app/support/AppTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>

namespace app_testing {

TFileHolder::TFileHolder(const std::string& Name) {
  int Ready[2];
  if (pipe(Ready) != 0) return;
  FPid = fork();
  if (FPid == 0) {
    const int Fd = open(Name.c_str(), O_RDONLY);
    (void)!write(Ready[1], Fd >= 0 ? "1" : "0", 1);
    pause();
    _exit(0);
  }
  char C = 0;
  close(Ready[1]);
  FOpened = read(Ready[0], &C, 1) == 1 && C == '1';
  close(Ready[0]);
}

TFileHolder::~TFileHolder() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
}

namespace {

class TFakeMixerDevice : public TMixerDevice {
 public:
  explicit TFakeMixerDevice(const TMixerLineNames& Lines) : FLines(Lines) {}
  uint32_t DestinationCount() override { return static_cast<uint32_t>(FLines.size()); }
  uint32_t GetLineInfo(uint32_t Destination, int32_t Source, TMixerLineInfo& Info) override {
    if (Destination >= FLines.size()) return kMixerInvalidLine;
    const auto& Sources = FLines[Destination];
    Info = TMixerLineInfo();
    Info.Destination = Destination;
    Info.Source = Source;
    Info.Channels = 2;
    Info.LineId = Destination * 1000 + static_cast<uint32_t>(Source + 1);
    if (Source < 0) {
      Info.Name = Destination == 0 ? "Playback" : "Recording";
      Info.Connections = static_cast<uint32_t>(Sources.size());
      return kMixerNoError;
    }
    if (static_cast<size_t>(Source) >= Sources.size()) return kMixerInvalidLine;
    Info.Name = Sources[static_cast<size_t>(Source)];
    return kMixerNoError;
  }
  uint32_t GetLineControl(uint32_t, TMixerControlKind, TMixerControl&) override {
    return kMixerInvalidControl;
  }
  uint32_t SetControlValues(uint32_t, const std::vector<int32_t>&) override {
    return kMixerInvalidControl;
  }
  uint32_t GetControlValues(uint32_t, std::vector<int32_t>&) override {
    return kMixerInvalidControl;
  }

 private:
  TMixerLineNames FLines;
};

}  // namespace

uint32_t TFakeMixerService::GetDeviceCaps(uint32_t Device, std::string& Name,
                                          uint32_t& Destinations) {
  if (Device >= DeviceCount()) return kMixerBadDevice;
  Name = "Test mixer";
  Destinations = static_cast<uint32_t>(Lines.size());
  return kMixerNoError;
}

uint32_t TFakeMixerService::Open(uint32_t Device, TMixerNotify,
                                 std::unique_ptr<TMixerDevice>& Opened) {
  if (Device >= DeviceCount()) return kMixerBadDevice;
  Opened = std::make_unique<TFakeMixerDevice>(Lines);
  return kMixerNoError;
}

WindowTest::WindowTest() {
  UseSoundCard(&Card);
  UseMixerService(&Mixer);
  auto D = std::make_unique<TFakeDialogs>();
  Dialogs = D.get();
  Data = std::make_unique<TAppDataModule>(std::move(D));
}

WindowTest::~WindowTest() {
  if (Window) {
    Window->close();
    Window.reset();
  }
  Data.reset();
  UseSoundCard(nullptr);
  UseMixerService(nullptr);
}

TMainForm& WindowTest::Form() {
  if (!Window) {
    TMainForm::TSetup S;
    S.ProgramFolder = Dir.Dir() + "/";
    S.SettingsPath = SettingsFile();
    S.CacheFolder = Dir.Path("cache") + "/";
    S.Languages = Languages;
    S.NotificationBus = NotificationBus;
    Window = std::make_unique<TMainForm>(S);
  }
  return *Window;
}

TMainForm& WindowTest::ShownForm() {
  TMainForm& F = Form();
  F.show();
  Settle();
  return F;
}

void WindowTest::Settle() {
  QElapsedTimer T;
  T.start();
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (T.elapsed() < 20);
}

}  // namespace app_testing
