#ifndef DISPLAYSCALE_H
#define DISPLAYSCALE_H

#include <QByteArray>
#include <QSize>
#include <QSizeF>

// The factor, at most 1, by which a window of `window` logical pixels must shrink, keeping
// its proportions, to fit a work area of `workArea` logical pixels. 1 when it fits or when
// the area is unknown (empty).
qreal shrinkToFit(const QSizeF& window, const QSizeF& workArea);

// Qt's high-DPI scaling on, with fractional factors passed through as they are (125 % and
// 150 % exact, not rounded to 1 or 2), and images at twice the pixels where there are any.
// Before the application object exists.
void enableHighDpiScaling();

// Shrinks everything Qt draws, through QT_SCALE_FACTOR, when a window of `window` logical
// pixels would not fit the primary screen's work area at that screen's scaling (1000x700 at
// 125 % on a 1366x768 laptop does not). Set before the application object exists, which reads
// it; restore() once it does, so that the main program started at the hand-over does not
// inherit it. The work area is asked of Windows; elsewhere nothing is changed.
class WindowFit {
public:
    explicit WindowFit(const QSize& window);
    qreal factor() const { return m_factor; }
    void restore() const;

private:
    qreal m_factor = 1;
    bool m_hadValue = false;
    QByteArray m_value;
};

#endif // DISPLAYSCALE_H
