#include "app/DropTargets.h"

#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <algorithm>

#include "app/DialogProvider.h"

namespace {

// The local paths a drag carries, in order.
QStringList DroppedPaths(const QMimeData* Data) {
  QStringList Paths;
  if (!Data || !Data->hasUrls()) return Paths;
  for (const QUrl& U : Data->urls())
    if (U.isLocalFile() && !U.toLocalFile().isEmpty())
      Paths << QDir::toNativeSeparators(QDir::cleanPath(U.toLocalFile()));
  return Paths;
}

}  // namespace

TDropTargets::TDropTargets(QWidget* Page) : QObject(Page), FPage(Page) {
  Page->setAcceptDrops(true);
  Page->installEventFilter(this);
}

void TDropTargets::Add(TTarget Target) { FTargets.push_back(std::move(Target)); }

bool TDropTargets::Takes(const TTarget& Target, const QString& Path) const {
  if (!Target.Box->isEnabled()) return false;
  const QFileInfo Info(Path);
  if (Target.Folder) return Info.isDir();
  return !Info.isDir() && QDir::match(Target.Patterns, Info.fileName());
}

auto TDropTargets::Plan(const QStringList& Paths, const QPoint& Pos) const
    -> std::vector<std::pair<const TTarget*, QString>> {
  std::vector<std::pair<const TTarget*, QString>> Result;
  if (Paths.isEmpty()) return Result;
  if (QWidget* Over = FPage->childAt(Pos)) {
    for (const TTarget& T : FTargets) {
      if (T.Box != Over && !T.Box->isAncestorOf(Over)) continue;
      if (Takes(T, Paths.front())) Result.emplace_back(&T, Paths.front());
      break;
    }
    if (!Result.empty()) return Result;
  }
  std::vector<const TTarget*> Used;
  auto Free = [&Used](const TTarget& T) {
    return std::find(Used.begin(), Used.end(), &T) == Used.end();
  };
  for (const QString& Path : Paths) {
    const TTarget* Chosen = nullptr;
    for (const TTarget& T : FTargets) {
      if (!T.FromPage || !Free(T) || !Takes(T, Path)) continue;
      if (!Chosen) Chosen = &T;
      if (T.Empty && T.Empty()) {
        Chosen = &T;
        break;
      }
    }
    if (!Chosen) continue;
    Used.push_back(Chosen);
    Result.emplace_back(Chosen, Path);
  }
  return Result;
}

bool TDropTargets::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched != FPage) return false;
  switch (Event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* E = static_cast<QDragMoveEvent*>(Event);
      if (Plan(DroppedPaths(E->mimeData()), E->position().toPoint()).empty()) {
        E->ignore();
      } else {
        E->setDropAction(Qt::CopyAction);
        E->accept();
      }
      return true;
    }
    case QEvent::Drop: {
      auto* E = static_cast<QDropEvent*>(Event);
      const auto Fills = Plan(DroppedPaths(E->mimeData()), E->position().toPoint());
      if (Fills.empty()) {
        E->ignore();
        return true;
      }
      E->setDropAction(Qt::CopyAction);
      E->accept();
      for (const auto& [T, Path] : Fills) {
        T->Fill(Path);
        RememberFolder(T->Remember, T->Folder ? Path : FolderOf(Path));
      }
      return true;
    }
    default:
      return false;
  }
}
