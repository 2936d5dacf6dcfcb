// CoolPlayer: the small player window that plays a finished mix. It takes the
// file to play as its one argument and plays it at once through the player
// library of the program's folder (the folder above its own): file name,
// position bar, play/pause, stop and volume, in a window titled "CoolPlayer".
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <string>

#include "codecs/CodecLibrary.h"
#include "codecs/MACDll.h"
#include "devices/XaudioPlayer.h"
#include "platform/ProgramFolder.h"

namespace {

// The position bar's steps: the player reports the position as a share of
// this.
constexpr int kRange = 400;

QString Clock(int Seconds) {
  return QStringLiteral("%1:%2").arg(Seconds / 60).arg(Seconds % 60, 2, 10, QLatin1Char('0'));
}

class TCoolPlayer : public QWidget {
 public:
  TCoolPlayer(const std::string& Folder, const QString& File) : FFile(File) {
    setObjectName(QStringLiteral("CoolPlayer"));
    setWindowTitle(QStringLiteral("CoolPlayer"));
    auto* Column = new QVBoxLayout(this);

    FName = new QLabel(this);
    FName->setObjectName(QStringLiteral("FileName"));
    FName->setTextFormat(Qt::PlainText);
    FName->setText(File.isEmpty() ? QStringLiteral("No file") : QFileInfo(File).fileName());
    FName->setToolTip(File);
    QFont Bold = FName->font();
    Bold.setBold(true);
    FName->setFont(Bold);
    Column->addWidget(FName);

    auto* Track = new QHBoxLayout;
    FPosition = new QSlider(Qt::Horizontal, this);
    FPosition->setObjectName(QStringLiteral("Position"));
    FPosition->setAccessibleName(QStringLiteral("Position"));
    FPosition->setRange(0, kRange);
    FTime = new QLabel(QStringLiteral("0:00 / 0:00"), this);
    FTime->setObjectName(QStringLiteral("Time"));
    Track->addWidget(FPosition, 1);
    Track->addWidget(FTime);
    Column->addLayout(Track);

    auto* Buttons = new QHBoxLayout;
    FPlay = new QPushButton(QStringLiteral("Play"), this);
    FPlay->setObjectName(QStringLiteral("PlayPause"));
    FStop = new QPushButton(QStringLiteral("Stop"), this);
    FStop->setObjectName(QStringLiteral("Stop"));
    auto* VolumeLabel = new QLabel(QStringLiteral("Volume"), this);
    FVolume = new QSlider(Qt::Horizontal, this);
    FVolume->setObjectName(QStringLiteral("Volume"));
    FVolume->setAccessibleName(QStringLiteral("Volume"));
    FVolume->setRange(0, 100);
    FVolume->setValue(100);
    VolumeLabel->setBuddy(FVolume);
    Buttons->addWidget(FPlay);
    Buttons->addWidget(FStop);
    Buttons->addSpacing(12);
    Buttons->addWidget(VolumeLabel);
    Buttons->addWidget(FVolume, 1);
    Column->addLayout(Buttons);

    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("Status"));
    FStatus->setTextFormat(Qt::PlainText);
    FStatus->setWordWrap(true);
    FStatus->hide();  // shown with a message
    Column->addWidget(FStatus);
    resize(420, sizeHint().height());
    setMinimumWidth(320);

    FPlayer.reset(new TXaudioPlayer(nullptr));
    FPlayer->SetXaudioPath(Folder + "libAudioPlayer.so");
    FPlayer->SetPostToOwner([this](std::function<void()> Task) {
      QMetaObject::invokeMethod(this, std::move(Task), Qt::QueuedConnection);
    });
    FPlayer->OnNotifyPlayerState = [this](TComponent*, int S) { StateChanged(S); };
    FPlayer->OnNotifyStreamDuration = [this](TComponent*, uint32_t Ms) {
      FDuration = static_cast<int>(Ms / 1000);
      ShowTime();
    };
    FPlayer->OnNotifyInputTimecode = [this](TComponent*, uint8_t H, uint8_t M, uint8_t S, uint8_t) {
      FSeconds = H * 3600 + M * 60 + S;
      ShowTime();
    };
    FPlayer->OnNotifyInputPosition = [this](TComponent*, uint32_t Offset, uint32_t) {
      if (!FPosition->isSliderDown()) FPosition->setValue(static_cast<int>(Offset));
    };
    FPlayer->OnNotifyError = [this](TComponent*, uint8_t, int16_t, const std::string& M) {
      ShowStatus(QString::fromStdString(M));
    };

    connect(FPlay, &QPushButton::clicked, this, [this] {
      Command([this] {
        return FState == XA_PLAYER_STATE_PLAYING ? FPlayer->PauseInput() : FPlayer->PlayInput();
      });
    });
    connect(FStop, &QPushButton::clicked, this,
            [this] { Command([this] { return FPlayer->StopInput(); }); });
    connect(FPosition, &QSlider::sliderReleased, this,
            [this] { Command([this] { return FPlayer->InputSeek(FPosition->value(), kRange); }); });
    connect(FVolume, &QSlider::valueChanged, this,
            [this](int V) { Command([this, V] { return FPlayer->SetOutputVolume(V, 100, 50); }); });

    if (File.isEmpty()) {
      for (QWidget* W : {static_cast<QWidget*>(FPlay), static_cast<QWidget*>(FStop),
                         static_cast<QWidget*>(FPosition)})
        W->setEnabled(false);
      return;
    }
    Command([this] {
      const int R = FPlayer->OpenInput(FFile.toStdString());
      return R != XA_SUCCESS ? R : FPlayer->PlayInput();
    });
  }

 private:
  // Sends a command; a library that cannot be used, or a command refused,
  // is shown in the window.
  template <class F>
  void Command(F Send) {
    try {
      const int R = Send();
      if (R != XA_SUCCESS && FStatus->text().isEmpty())
        ShowStatus(QString::fromStdString(FPlayer->ErrorString(R)));
    } catch (const std::exception& E) {
      ShowStatus(QString::fromStdString(E.what()));
    }
  }

  void ShowStatus(const QString& Text) {
    FStatus->setText(Text);
    FStatus->setVisible(!Text.isEmpty());
  }

  void StateChanged(int State) {
    FState = State;
    FPlay->setText(State == XA_PLAYER_STATE_PLAYING ? QStringLiteral("Pause")
                                                    : QStringLiteral("Play"));
    if (State == XA_PLAYER_STATE_PLAYING) ShowStatus(QString());
  }

  void ShowTime() { FTime->setText(Clock(FSeconds) + QStringLiteral(" / ") + Clock(FDuration)); }

  QString FFile;
  QLabel* FName = nullptr;
  QSlider* FPosition = nullptr;
  QLabel* FTime = nullptr;
  QPushButton* FPlay = nullptr;
  QPushButton* FStop = nullptr;
  QSlider* FVolume = nullptr;
  QLabel* FStatus = nullptr;
  int FState = XA_PLAYER_STATE_STOPPED;
  int FSeconds = 0, FDuration = 0;
  // Destroyed with the window: the playing stops and the library's thread
  // ends before the widgets its events reach are gone.
  TOwned<TXaudioPlayer> FPlayer;
};

}  // namespace

int main(int argc, char** argv) {
  // The program's folder is the one above this one (external/).
  const std::string Folder = ProgramFolder() + "../";
  MACDllLibrary().SetFolder(Folder);
  LoadCodecLibraries();

  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("CoolPlayer"));
  QApplication::setWindowIcon(QIcon(QString::fromStdString(ProgramFolder() + "velmora.png")));
  const QString File = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  TCoolPlayer Window(Folder, File);
  Window.show();
  return QApplication::exec();
}
