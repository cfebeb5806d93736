#ifndef INSTALLCONTROL_H
#define INSTALLCONTROL_H

#include <QtGlobal>

#include <atomic>

// Shared between the thread that installs a package and the window's thread: the request
// to stop, and how much of the work is done.
class InstallControl {
public:
    void cancel() { m_cancelled.store(true); }
    bool isCancelled() const { return m_cancelled.load(); }

    void setTotal(qint64 units) { m_total.store(units); }
    void advance(qint64 units = 1) { m_done.fetch_add(units); }
    // The part done, from 0 to `scale`.
    int fraction(int scale) const
    {
        const qint64 total = m_total.load();
        const qint64 done = qMin(m_done.load(), total);
        return total > 0 ? int(done * scale / total) : 0;
    }

private:
    std::atomic<bool> m_cancelled { false };
    std::atomic<qint64> m_done { 0 };
    std::atomic<qint64> m_total { 0 };
};

#endif // INSTALLCONTROL_H
