// Measures the window's start-up: the program's own start sequence (language
// manager, codec libraries, application, data module, main window, first
// showing) up to the first paint of the main window. Prints the time since
// the moment given on the command line (nanoseconds of CLOCK_REALTIME, taken
// by the caller just before starting the probe) and the resident memory, then
// quits. Messages go to stderr instead of a modal box, so that nothing waits
// for a click.
#include <time.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/AppDataModule.h"
#include "app/LangMgr.h"
#include "app/MainForm.h"
#include "codecs/CodecLibrary.h"

namespace {

long long NowNs() {
  timespec T;
  clock_gettime(CLOCK_REALTIME, &T);
  return static_cast<long long>(T.tv_sec) * 1000000000LL + T.tv_nsec;
}

long ResidentKb() {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind("VmRSS:", 0) == 0) return std::strtol(Line.c_str() + 6, nullptr, 10);
  return -1;
}

class TLogDialogs : public TQtDialogProvider {
 public:
  void ShowMessage(QWidget*, const QString& Text) override {
    std::fprintf(stderr, "message: %s\n", Text.toUtf8().constData());
  }
};

class TFirstPaint : public QObject {
 public:
  explicit TFirstPaint(long long Start) : FStart(Start) {}
  bool eventFilter(QObject* O, QEvent* E) override {
    if (E->type() == QEvent::Paint && !FSeen) {
      FSeen = true;
      // Report once the paint itself has been done.
      QTimer::singleShot(0, [this] {
        std::printf("first paint after %.1f ms, resident memory %ld KB\n", (NowNs() - FStart) / 1e6,
                    ResidentKb());
        std::fflush(stdout);
        QCoreApplication::quit();
      });
    }
    return QObject::eventFilter(O, E);
  }

 private:
  long long FStart;
  bool FSeen = false;
};

}  // namespace

int main(int argc, char** argv) {
  const long long Start = argc > 1 ? std::atoll(argv[1]) : NowNs();
  InitLanguageManager();
  LoadCodecLibraries();
  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora"));
  int Result;
  {
    TAppDataModule Data(std::make_unique<TLogDialogs>());
    TMainForm Form;
    TFirstPaint Probe(Start);
    Form.installEventFilter(&Probe);
    Form.show();
    QTimer::singleShot(10000, [] {
      std::fprintf(stderr, "no paint within 10 s\n");
      QCoreApplication::exit(1);
    });
    Result = QApplication::exec();
  }
  FinalizeLanguageManager();
  return Result;
}
