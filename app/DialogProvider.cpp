#include "app/DialogProvider.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextDocument>
#include <QUrl>

#include "app/AppDataModule.h"
#include "app/IniSettings.h"

namespace {

QStringList PatternsOf(const QString& List) {
  QStringList Patterns = List.split(QLatin1Char(';'), Qt::SkipEmptyParts);
  for (QString& P : Patterns) P = P.trimmed();
  Patterns.removeAll(QString());
  return Patterns;
}

}  // namespace

QStringList FilterPatterns(const QString& Filter) {
  QStringList Result;
  const QStringList Parts = Filter.split(QLatin1Char('|'));
  for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) Result << PatternsOf(Parts[I + 1]);
  return Result;
}

QString LastFolder(const QString& Box) {
  return QString::fromStdString(ReadLastFolder(Box.toStdString()));
}

void RememberFolder(const QString& Box, const QString& Folder) {
  if (Box.isEmpty() || Folder.isEmpty()) return;
  try {
    WriteLastFolder(Box.toStdString(), Folder.toStdString());
  } catch (const std::exception&) {
    // Not kept: the next dialog opens where the dialog itself chooses.
  }
}

QString FolderOf(const QString& Path) { return QFileInfo(Path).absolutePath(); }

QStringList QtNameFilters(const QString& Filter) {
  QStringList Result;
  const QStringList Parts = Filter.split(QLatin1Char('|'));
  for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) {
    const QStringList Patterns = PatternsOf(Parts[I + 1]);
    if (Patterns.isEmpty()) continue;
    Result << Parts[I].trimmed() + QStringLiteral(" (") + Patterns.join(QLatin1Char(' ')) +
                  QLatin1Char(')');
  }
  return Result;
}

QString PlainToolTip(const QString& Text) {
  if (!Qt::mightBeRichText(Text)) return Text;
  return QStringLiteral("<p style=\"white-space:pre\">") + Text.toHtmlEscaped() +
         QStringLiteral("</p>");
}

namespace {

bool RunFileDialog(QWidget* Parent, TFileDialogRequest& R, bool Save) {
  QFileDialog D(Parent, R.Title);
  D.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  D.setFileMode(Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (Save) D.setOption(QFileDialog::DontConfirmOverwrite, true);
  const QStringList Filters = QtNameFilters(R.Filter);
  if (!Filters.isEmpty()) {
    D.setNameFilters(Filters);
    const int Index = R.FilterIndex >= 1 && R.FilterIndex <= Filters.size() ? R.FilterIndex : 1;
    D.selectNameFilter(Filters[Index - 1]);
  }
  if (!R.Folder.isEmpty()) D.setDirectory(R.Folder);
  if (!R.FileName.isEmpty()) D.selectFile(R.FileName);
  D.setWindowModality(Qt::ApplicationModal);
  if (D.exec() != QDialog::Accepted) return false;
  const QStringList Files = D.selectedFiles();
  if (Files.isEmpty()) return false;
  R.FileName = QDir::toNativeSeparators(Files.first());
  const qsizetype Chosen = Filters.indexOf(D.selectedNameFilter());
  R.FilterIndex = Chosen >= 0 ? static_cast<int>(Chosen) + 1 : 1;
  return true;
}

}  // namespace

void TQtDialogProvider::ShowMessage(QWidget* Parent, const QString& Text) {
  // No parent: the box is centred on the screen and blocks every window.
  Q_UNUSED(Parent);
  QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("Velmora"), Text, QMessageBox::Ok);
  // Messages carry file names and readers' texts: "<b>x</b>.wav" is a name.
  Box.setTextFormat(Qt::PlainText);
  Box.setWindowModality(Qt::ApplicationModal);
  Box.exec();
}

TPromptAnswer TQtDialogProvider::AskErrorAction(QWidget* Parent, const QString& Text) {
  Q_UNUSED(Parent);
  QMessageBox Box(QMessageBox::Critical, QStringLiteral("Velmora"), Text,
                  QMessageBox::Cancel | QMessageBox::Retry | QMessageBox::Ignore);
  Box.setTextFormat(Qt::PlainText);
  Box.setWindowModality(Qt::ApplicationModal);
  switch (Box.exec()) {
    case QMessageBox::Retry:
      return TPromptAnswer::Retry;
    case QMessageBox::Ignore:
      return TPromptAnswer::Ignore;
    default:
      return TPromptAnswer::Cancel;
  }
}

bool TQtDialogProvider::ExecuteOpen(QWidget* Parent, TFileDialogRequest& Request) {
  return RunFileDialog(Parent, Request, false);
}

bool TQtDialogProvider::ExecuteSave(QWidget* Parent, TFileDialogRequest& Request) {
  return RunFileDialog(Parent, Request, true);
}

bool TQtDialogProvider::BrowseFolder(QWidget* Parent, const QString& Caption, const QString& Root,
                                     QString& Folder) {
  const QString Start = !Folder.isEmpty() ? Folder : !Root.isEmpty() ? Root : QDir::homePath();
  const QString Chosen = QFileDialog::getExistingDirectory(Parent, Caption, Start);
  if (Chosen.isEmpty()) return false;
  Folder = Chosen;
  return true;
}

bool TQtDialogProvider::OpenDocument(const QString& Path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(Path));
}

bool TFileDialog::Execute(const QString& Box) {
  TFileDialogRequest R;
  R.Title = Title;
  R.Filter = Filter;
  R.FilterIndex = FilterIndex;
  R.FileName = FileName;
  if (!Box.isEmpty()) R.Folder = LastFolder(Box);
  TDialogProvider& P = CurrentDialogs();
  const bool Ok = FKind == fdOpen ? P.ExecuteOpen(FParent, R) : P.ExecuteSave(FParent, R);
  if (!Ok) return false;
  FileName = R.FileName;
  FilterIndex = R.FilterIndex;
  RememberFolder(Box, FolderOf(FileName));
  return true;
}
