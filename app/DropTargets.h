// Files and folders dropped on a page. Each page lists the boxes a dropped
// path may fill; a drop fills them the way their browse buttons do.
//
// A drop on a box that takes the (first) dropped path fills that box. Any
// other drop on the page (or on a box that does not take it) hands each
// dropped path to a box of the page that takes it and is open to drops from
// the page: an empty one first, in the order the boxes were listed, and no box
// twice. A drag is accepted only when its drop would fill something; disabled
// boxes take nothing.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>
#include <utility>
#include <vector>

class QWidget;

class TDropTargets : public QObject {
 public:
  struct TTarget {
    // The control that shows the path (a drop anywhere on it aims at it).
    QWidget* Box = nullptr;
    // The file patterns it takes ("*.wav"); a folder box takes folders only.
    QStringList Patterns;
    bool Folder = false;
    // Open to paths dropped elsewhere on the page (sources, not outputs).
    bool FromPage = true;
    // Fills the box with the path (the browse button's path).
    std::function<void(const QString&)> Fill;
    // The box's name for the remembered folders ("": none is kept).
    QString Remember;
    // Empty: an empty box is filled before a full one.
    std::function<bool()> Empty;
  };

  // Drops on Page (which becomes their receiver) go through the new object,
  // owned by Page.
  explicit TDropTargets(QWidget* Page);

  void Add(TTarget Target);
  bool Takes(const TTarget& Target, const QString& Path) const;
  // What a drop of Paths at Pos (in the page's coordinates) fills, in order.
  std::vector<std::pair<const TTarget*, QString>> Plan(const QStringList& Paths,
                                                       const QPoint& Pos) const;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  QWidget* FPage;
  std::vector<TTarget> FTargets;
};
