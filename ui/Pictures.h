// Our SVG pictures (ui/resources) as pixmaps and icons, rendered for the screen's pixel ratio so
// that they stay crisp at any scale.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

class QLabel;

// ":/pictures/<Name>.svg" rendered at Size (logical pixels) for DevicePixelRatio.
QPixmap SvgPixmap(const QString& Name, QSize Size, qreal DevicePixelRatio);
// The picture as an icon (the SVG icon engine draws it at whatever size is asked).
QIcon SvgIcon(const QString& Name);
// Shows the picture on Label at the label's size and the label's screen's pixel ratio.
void SetPicture(QLabel* Label, const QString& Name);
