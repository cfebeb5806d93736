#include "centring.h"

#include <QtGlobal>

QPoint centredPosition(const QRect& workArea, const QSize& window)
{
    if (workArea.isEmpty())
        return QPoint();
    const int x = qMax(0, (workArea.width() - window.width()) / 2);
    const int y = qMax(0, (workArea.height() - window.height()) / 2);
    return workArea.topLeft() + QPoint(x, y);
}
