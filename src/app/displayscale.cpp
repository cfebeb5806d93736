#include "displayscale.h"

#include <QCoreApplication>
#include <QGuiApplication>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

qreal shrinkToFit(const QSizeF& window, const QSizeF& workArea)
{
    if (workArea.isEmpty() || window.isEmpty())
        return 1;
    return qMin<qreal>(
        1, qMin(workArea.width() / window.width(), workArea.height() / window.height()));
}

void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

namespace {

#ifdef Q_OS_WIN
// The primary screen's work area in the logical pixels Qt will use: device pixels divided by
// the screen's scaling. A process not (yet) aware of the DPI is told 96 dpi and sizes already
// divided, which gives the same answer.
QSizeF primaryWorkArea()
{
    const POINT origin { 0, 0 };
    MONITORINFO info;
    info.cbSize = sizeof info;
    HMONITOR monitor = MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY);
    if (!GetMonitorInfoW(monitor, &info))
        return QSizeF();
    UINT dpiX = 0;
    UINT dpiY = 0;
    // Windows 8.1 and later; Windows 7 has one DPI for every screen.
    using GetDpiForMonitorFunction = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    const HMODULE shcore = LoadLibraryW(L"shcore.dll");
    const auto getDpiForMonitor = shcore
        ? reinterpret_cast<GetDpiForMonitorFunction>(
            reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")))
        : nullptr;
    if (!getDpiForMonitor || getDpiForMonitor(monitor, 0, &dpiX, &dpiY) != S_OK) {
        HDC screen = GetDC(nullptr);
        dpiX = UINT(GetDeviceCaps(screen, LOGPIXELSX));
        ReleaseDC(nullptr, screen);
    }
    if (shcore)
        FreeLibrary(shcore);
    const qreal scale = dpiX > 0 ? dpiX / 96.0 : 1;
    const RECT& work = info.rcWork;
    return QSizeF((work.right - work.left) / scale, (work.bottom - work.top) / scale);
}
#else
QSizeF primaryWorkArea() { return QSizeF(); }
#endif

} // namespace

WindowFit::WindowFit(const QSize& window)
    : m_hadValue(qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
    , m_value(qgetenv("QT_SCALE_FACTOR"))
{
    m_factor = shrinkToFit(window, primaryWorkArea());
    if (m_factor >= 1)
        return;
    // A factor the user set stays part of the product.
    bool ok = false;
    const qreal given = m_value.toDouble(&ok);
    const qreal total = (ok && given > 0 ? given : 1) * m_factor;
    qputenv("QT_SCALE_FACTOR", QByteArray::number(total, 'g', 6));
}

void WindowFit::restore() const
{
    if (m_factor >= 1)
        return;
    if (m_hadValue)
        qputenv("QT_SCALE_FACTOR", m_value);
    else
        qunsetenv("QT_SCALE_FACTOR");
}
