#include "host/desktop/tray_icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace zuntar {
namespace {

// Everything is drawn on a 64 x 64 grid and scaled to the pixmap's size.
void DrawKey(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  QPainterPath bow;
  bow.addEllipse(QPointF(22, 24), 13, 13);
  bow.addEllipse(QPointF(22, 24), 5.5, 5.5);  // odd-even fill: a ring
  p.drawPath(bow);
  // The shaft runs down to the right from the bow, with two bits.
  p.save();
  p.translate(22, 24);
  p.rotate(45);
  p.drawRoundedRect(QRectF(11, -4, 30, 8), 2, 2);
  p.drawRect(QRectF(29, 3, 5, 8));
  p.drawRect(QRectF(36, 3, 5, 10));
  p.restore();
}

void DrawStopMark(QPainter& p) {
  p.setPen(QPen(Qt::white, 3));
  p.setBrush(QColor(0xd0, 0x26, 0x26));
  p.drawEllipse(QPointF(47, 47), 14, 14);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(39, 44.5, 16, 5));
}

QPixmap Draw(PluginState state, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  QLinearGradient fill(0, 0, 0, 64);
  if (state == PluginState::kRunning) {
    fill.setColorAt(0, QColor(0x3b, 0x7d, 0xdd));
    fill.setColorAt(1, QColor(0x16, 0x4a, 0x9c));
  } else {
    fill.setColorAt(0, QColor(0xa6, 0xa6, 0xa6));
    fill.setColorAt(1, QColor(0x6c, 0x6c, 0x6c));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  DrawKey(p);
  if (state == PluginState::kStopped) DrawStopMark(p);
  return pixmap;
}

}  // namespace

QIcon PluginIcon(PluginState state) {
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(Draw(state, size));
  return icon;
}

}  // namespace zuntar
