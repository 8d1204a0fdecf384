#include "ui/Pictures.h"

#include <QLabel>
#include <QPainter>
#ifndef LASER_PNG_PICTURES
#include <QSvgRenderer>
#endif

#ifdef LASER_PNG_PICTURES
// A Qt without its SVG module (cmake/PngPictures.cmake): each SVG drawn at build time at its own
// size and at twice that, scaled from the nearer one.
QPixmap SvgPixmap(const QString& Name, QSize Size, qreal DevicePixelRatio) {
  const QString base = QStringLiteral(":/pictures/") + Name;
  const QPixmap source(base +
                       (DevicePixelRatio > 1 ? QStringLiteral("@2x.png") : QStringLiteral(".png")));
  QPixmap pixmap =
      source.scaled(Size * DevicePixelRatio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  pixmap.setDevicePixelRatio(DevicePixelRatio);
  return pixmap;
}

QIcon SvgIcon(const QString& Name) {
  QIcon icon;
  icon.addFile(QStringLiteral(":/pictures/") + Name + QStringLiteral(".png"));
  icon.addFile(QStringLiteral(":/pictures/") + Name + QStringLiteral("@2x.png"));
  return icon;
}
#else
// The pictures live in this static library; nothing else would pull their object in.
static void InitPictures() {
  static const bool done = [] {
    Q_INIT_RESOURCE(pictures);
    return true;
  }();
  (void)done;
}

namespace {
QString Path(const QString& Name) {
  InitPictures();
  return QStringLiteral(":/pictures/") + Name + QStringLiteral(".svg");
}
}  // namespace

QPixmap SvgPixmap(const QString& Name, QSize Size, qreal DevicePixelRatio) {
  QPixmap pixmap(Size * DevicePixelRatio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(Path(Name));
  QPainter painter(&pixmap);
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(DevicePixelRatio);
  return pixmap;
}

QIcon SvgIcon(const QString& Name) {
  return QIcon(Path(Name));
}
#endif

void SetPicture(QLabel* Label, const QString& Name) {
  Label->setPixmap(SvgPixmap(Name, Label->size(), Label->devicePixelRatioF()));
}
