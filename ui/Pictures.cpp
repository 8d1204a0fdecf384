#include "ui/Pictures.h"

#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>

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

void SetPicture(QLabel* Label, const QString& Name) {
  Label->setPixmap(SvgPixmap(Name, Label->size(), Label->devicePixelRatioF()));
}
