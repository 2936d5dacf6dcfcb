// Names and file contents reach the screen as they are: a file named
// "<b>x</b>.wav" is shown with its brackets, never as bold "x.wav", in
// message boxes, the status bar, path boxes' tips and texts from a language
// file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#include "app/DialogProvider.h"
#include "app/LangFrm.h"
#include "app/PathSelector.h"
#include "tests/app/support/AppTestSupport.h"

using app_testing::WindowTest;

// Failures print texts as text.
void PrintTo(const QString& S, std::ostream* Os) { *Os << '"' << S.toStdString() << '"'; }

namespace {

const QString kMarkupName = QStringLiteral("/tmp/<b>x</b>.wav");
// What a failed job says about such a file.
const QString kMessage =
    QStringLiteral("Runtime error: /tmp/<b>x</b>.wav: not a valid or supported wav file");

// The text a label puts on the screen: its own text, or what that text reads
// as once taken for markup, which a label does when told to or, left to
// choose, when the text looks like markup.
QString Shown(const QLabel* Label) {
  const Qt::TextFormat Format = Label->textFormat();
  if (Format == Qt::PlainText || (Format == Qt::AutoText && !Qt::mightBeRichText(Label->text())))
    return Label->text();
  QTextDocument Doc;
  Doc.setHtml(Label->text());
  return Doc.toPlainText();
}

// The text the tip of Widget shows, read off Qt's own tip window.
QString ShownTip(QWidget* Widget) {
  QToolTip::showText(QPoint(10, 10), Widget->toolTip(), Widget);
  QString Result = QStringLiteral("(no tip shown)");
  for (QWidget* W : QApplication::topLevelWidgets())
    if (W->objectName() == QLatin1String("qtooltip_label") && W->isVisible())
      Result = Shown(qobject_cast<QLabel*>(W));
  QToolTip::hideText();
  return Result;
}

// What the program's own message box showed, read while it is open.
struct TSeenBox {
  bool Found = false;
  Qt::TextFormat Format = Qt::AutoText;
  QString Text, Shown;
};

// Shows Text through the real provider and reads the box it opens, then
// closes it; gives up looking after ten seconds.
TSeenBox ShowThroughProvider(const QString& Text) {
  TSeenBox Seen;
  QTimer Poll;
  QElapsedTimer Clock;
  Clock.start();
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    for (QWidget* W : QApplication::topLevelWidgets()) {
      auto* Box = qobject_cast<QMessageBox*>(W);
      if (!Box || !Box->isVisible()) continue;
      Seen.Found = true;
      Seen.Format = Box->textFormat();
      Seen.Text = Box->text();
      if (auto* L = Box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
        Seen.Shown = Shown(L);
      Poll.stop();
      Box->button(QMessageBox::Ok)->click();
      return;
    }
    if (Clock.elapsed() > 10000) Poll.stop();
  });
  Poll.start(10);
  TQtDialogProvider().ShowMessage(nullptr, Text);
  return Seen;
}

}  // namespace

TEST(PlainTexts, MessageBoxShowsNamesAsTheyAre) {
  for (const QString& Text :
       {kMessage, QStringLiteral("Runtime error: Tom &amp; Jerry &lt;live&gt;.wav: no such file"),
        QStringLiteral(
            "Input/Output file locked by the other programme, please unlock it first!")}) {
    const TSeenBox Seen = ShowThroughProvider(Text);
    ASSERT_TRUE(Seen.Found) << "no message box came up";
    EXPECT_EQ(Seen.Format, Qt::PlainText);
    EXPECT_EQ(Seen.Text, Text);
    EXPECT_EQ(Seen.Shown, Text);
  }
}

TEST(PlainTexts, PathBoxShowsTheNameAndItsTipAsTheyAre) {
  TPathSelector Box(QStringLiteral("Output"), nullptr);
  auto* Edit = Box.findChild<QLineEdit*>();
  ASSERT_NE(Edit, nullptr);
  for (const QString& Name :
       {kMarkupName, QStringLiteral("/tmp/&lt;i&gt;.wav"),
        QStringLiteral("/home/me/a  b/<<x>>.wav"), QStringLiteral("/home/me/plain.wav")}) {
    Box.SetText(Name);
    EXPECT_EQ(Box.Text(), Name);
    EXPECT_EQ(ShownTip(Edit), Name);
  }
  // A name that cannot be taken for markup keeps its tip unchanged.
  EXPECT_EQ(Edit->toolTip(), QStringLiteral("/home/me/plain.wav"));
}

TEST(PlainTexts, LanguageFileLabelsAndHintsShowAsTheyAre) {
  QLabel Label(QStringLiteral("Mix"));
  QPushButton Button(QStringLiteral("Start"));
  const QString Caption = QStringLiteral("<b>Mix</b> &amp; record");
  const QString Hint = QStringLiteral("<i>Starts</i> the job");
  ASSERT_TRUE(TLangForm::SetLangText(&Label, "Caption", Caption));
  ASSERT_TRUE(TLangForm::SetLangText(&Button, "Hint", Hint));
  EXPECT_EQ(Label.text(), Caption);
  EXPECT_EQ(Shown(&Label), Caption);
  EXPECT_EQ(ShownTip(&Button), Hint);
}

TEST_F(WindowTest, StatusBarShowsANameAsItIs) {
  TMainForm& F = Form();
  auto* Panel = F.findChild<QLabel*>(QStringLiteral("StatusPanel"));
  ASSERT_NE(Panel, nullptr);
  F.SetStatus(kMessage);
  EXPECT_EQ(F.StatusText(), kMessage);
  EXPECT_EQ(Shown(Panel), kMessage);
}
