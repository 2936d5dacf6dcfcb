// Measures one conversion done through the window, as a user does it: the
// program's own start sequence (language manager, codec libraries,
// application, data module, main window), then the converter page of FLOW is
// chosen, its source and output "..." buttons are clicked (the open and save
// dialogs answer IN and OUT) and "Convert it" is clicked. The time runs from
// that click to the moment the page control is enabled again, that is when
// the completion handler has run. The window reads a settings file that does
// not exist, so every setting has its default.
//
//   velmora-convert-probe FLOW IN OUT
//
// FLOW: mp3-wav wav-mp3 mp3-ogg ogg-mp3 wav-ogg ogg-wav wav-flac flac-wav
// wav-ape ape-wav. Prints one line on stdout:
//   convert FLOW ms 1234.5 hwm_kb 56789 events 123 wakeups 456
// where events counts the calls queued to the window while the job ran and
// wakeups the times its event loop woke up then. Messages of the program go
// to stderr; any message during the job makes the probe fail (exit code 1).
// With VELMORA_PROBE_NO_BAR_PAINT set, the progress bars are not painted
// while the job runs (their values still change), to weigh the painting.
#include <time.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/AppDataModule.h"
#include "app/LangMgr.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"
#include "codecs/CodecLibrary.h"

namespace {

long long ClockNs(clockid_t Clock) {
  timespec T;
  clock_gettime(Clock, &T);
  return static_cast<long long>(T.tv_sec) * 1000000000LL + T.tv_nsec;
}
long long NowNs() { return ClockNs(CLOCK_MONOTONIC); }

// A line of /proc/self/status in KB ("VmHWM:", "VmRSS:"); -1 if absent.
long StatusKb(const char* Key) {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind(Key, 0) == 0) return std::strtol(Line.c_str() + std::strlen(Key), nullptr, 10);
  return -1;
}

// Answers the open dialog with the source and the save dialog with the
// output; messages go to stderr and are counted.
class TAnsweringDialogs : public TQtDialogProvider {
 public:
  TAnsweringDialogs(QString Source, QString Output, int* Messages)
      : FSource(std::move(Source)), FOutput(std::move(Output)), FMessages(Messages) {}
  void ShowMessage(QWidget*, const QString& Text) override {
    ++*FMessages;
    std::fprintf(stderr, "message: %s\n", Text.toUtf8().constData());
  }
  bool ExecuteOpen(QWidget*, TFileDialogRequest& Request) override {
    Request.FileName = FSource;
    return true;
  }
  bool ExecuteSave(QWidget*, TFileDialogRequest& Request) override {
    Request.FileName = FOutput;
    return true;
  }

 private:
  QString FSource, FOutput;
  int* FMessages;
};

// The probe's name of each converter, in the order of the window's table.
const char* const kFlowNames[] = {"mp3-wav", "wav-mp3",  "mp3-ogg",  "ogg-mp3", "wav-ogg",
                                  "ogg-wav", "wav-flac", "flac-wav", "wav-ape", "ape-wav"};

struct TFlowControls {
  const char* Name;
  const TMainForm::TConverterPageSpec* Page;
  const TMainForm::TConverterSpec* Spec;
};

std::vector<TFlowControls> Flows() {
  std::vector<TFlowControls> R;
  for (const auto& P : TMainForm::ConverterPages)
    for (const auto& C : P.Converters) R.push_back({kFlowNames[R.size()], &P, &C});
  return R;
}

template <class T>
T* Child(TMainForm& Form, const char* Name) {
  return Form.findChild<T*>(QLatin1String(Name));
}

// Counts, while the job runs, the calls queued to the window and the turns
// of the event loop; notes the moment the page control is enabled again and
// the processor time used until then by the window's thread and by the whole
// process.
class TJobWatch : public QObject {
 public:
  TJobWatch(TMainForm* Form, long long* End) : FForm(Form), FEnd(End) {}
  bool Running = false;
  long Events = 0;
  long Wakeups = 0;
  long long ThreadCpu = 0, ProcessCpu = 0;  // at the start, then at the end

  // Set: the job's progress bars are not painted (to weigh their share).
  bool SkipBarPaint = false;

  bool eventFilter(QObject* O, QEvent* E) override {
    if (Running) {
      if (SkipBarPaint && E->type() == QEvent::Paint && qobject_cast<QProgressBar*>(O)) return true;
      if (O == FForm && E->type() == QEvent::MetaCall) ++Events;
      if (O == FForm->PageControl && E->type() == QEvent::EnabledChange &&
          FForm->PageControl->isEnabled()) {
        *FEnd = NowNs();
        ThreadCpu = ClockNs(CLOCK_THREAD_CPUTIME_ID) - ThreadCpu;
        ProcessCpu = ClockNs(CLOCK_PROCESS_CPUTIME_ID) - ProcessCpu;
        Running = false;
        // Report after the completion handler has returned.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
      }
    }
    return QObject::eventFilter(O, E);
  }

 private:
  TMainForm* FForm;
  long long* FEnd;
};

int Usage() {
  std::fprintf(stderr, "usage: velmora-convert-probe FLOW IN OUT\nFLOW:");
  for (const TFlowControls& F : Flows()) std::fprintf(stderr, " %s", F.Name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Usage();
  const std::vector<TFlowControls> All = Flows();
  const TFlowControls* Flow = nullptr;
  for (const TFlowControls& F : All)
    if (std::strcmp(F.Name, argv[1]) == 0) Flow = &F;
  if (!Flow) return Usage();
  const QString Source = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[2]));
  const QString Output = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[3]));

  InitLanguageManager();
  LoadCodecLibraries();
  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora"));

  // A settings file that does not exist: every setting keeps its default.
  QTemporaryDir SettingsFolder;
  if (!SettingsFolder.isValid()) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  TMainForm::TSetup Setup;
  Setup.SettingsPath = SettingsFolder.filePath(QStringLiteral("Settings.ini")).toStdString();

  int Messages = 0;
  int Result = 1;
  long long Start = 0, Clicked = 0, End = 0, ThreadCpu = 0, ProcessCpu = 0;
  long Events = 0, Wakeups = 0;
  int MessagesAtClick = 0;
  {
    TAppDataModule Data(std::make_unique<TAnsweringDialogs>(Source, Output, &Messages));
    TMainForm Form(Setup);
    TJobWatch Watch(&Form, &End);
    Watch.SkipBarPaint = qEnvironmentVariableIsSet("VELMORA_PROBE_NO_BAR_PAINT");
    App.installEventFilter(&Watch);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     [&Watch] {
                       if (Watch.Running) ++Watch.Wakeups;
                     });
    Form.show();

    // Once the window has settled after its first showing: choose the page,
    // the files, and start.
    QTimer::singleShot(200, [&] {
      auto* SourceBox = Child<TPathSelector>(Form, Flow->Spec->SourceBox);
      auto* OutputBox = Child<TPathSelector>(Form, Flow->Spec->OutputBox);
      Form.PageControl->setCurrentWidget(Child<QWidget>(Form, Flow->Page->Sheet));
      SourceBox->Button()->click();
      OutputBox->Button()->click();
      if (SourceBox->Text().isEmpty() || OutputBox->Text().isEmpty()) {
        std::fprintf(stderr, "the dialogs' answers did not reach the path boxes\n");
        QCoreApplication::exit(1);
        return;
      }
      MessagesAtClick = Messages;
      Watch.Running = true;
      Watch.ThreadCpu = ClockNs(CLOCK_THREAD_CPUTIME_ID);
      Watch.ProcessCpu = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
      Start = NowNs();
      Child<QPushButton>(Form, Flow->Spec->Button)->click();
      Clicked = NowNs();
      // A message at the start (empty or locked paths) ends the job at once.
      if (Messages != MessagesAtClick || Form.PageControl->isEnabled()) {
        Watch.Running = false;
        std::fprintf(stderr, "the conversion did not start\n");
        QCoreApplication::exit(1);
      }
    });
    Result = QApplication::exec();
    App.removeEventFilter(&Watch);
    Events = Watch.Events;
    Wakeups = Watch.Wakeups;
    ThreadCpu = Watch.ThreadCpu;
    ProcessCpu = Watch.ProcessCpu;
    if (Result == 0 && Messages != MessagesAtClick) {
      std::fprintf(stderr, "the conversion failed\n");
      Result = 1;
    }
  }
  if (Result == 0) {
    std::printf(
        "convert %s ms %.1f hwm_kb %ld events %ld wakeups %ld click_ms %.1f window_cpu_ms %.1f "
        "cpu_ms %.1f\n",
        Flow->Name, (End - Start) / 1e6, StatusKb("VmHWM:"), Events, Wakeups,
        (Clicked - Start) / 1e6, ThreadCpu / 1e6, ProcessCpu / 1e6);
    std::fflush(stdout);
  }
  FinalizeLanguageManager();
  return Result;
}
