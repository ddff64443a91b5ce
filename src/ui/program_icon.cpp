#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>

namespace mirl {

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 64.0, size / 64.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor("#37474f"));
        painter.drawRoundedRect(QRectF(4, 14, 56, 36), 6, 6);
        painter.setBrush(QColor("#eceff1"));
        painter.drawRect(QRectF(8, 18, 48, 20));
        painter.setBrush(QColor("#26a69a"));
        painter.drawRect(QRectF(8, 18, 30, 20));
        painter.setBrush(QColor("#004d40"));
        for (const QPointF bit : {QPointF(11, 21), QPointF(19, 21), QPointF(15, 25), QPointF(27, 25), QPointF(23, 29),
                                  QPointF(11, 31), QPointF(31, 21), QPointF(31, 31)}) {
            painter.drawRect(QRectF(bit, QSizeF(4, 4)));
        }
        painter.setBrush(QColor("#80cbc4"));
        painter.drawEllipse(QPointF(50, 44), 2.5, 2.5);
        painter.setBrush(QColor("#90a4ae"));
        painter.drawRoundedRect(QRectF(10, 42, 22, 3), 1.5, 1.5);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace mirl
