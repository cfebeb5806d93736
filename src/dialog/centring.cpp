#include "centring.h"

QPoint centredPosition(
    int screenCount, const QSize& desktop, const QSize& screen0, const QSize& window)
{
    const QSize area = screenCount == 1 ? desktop : screen0;
    return QPoint((area.width() - window.width()) / 2, (area.height() - window.height()) / 2);
}
