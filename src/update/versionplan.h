#ifndef VERSIONPLAN_H
#define VERSIONPLAN_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// The most versions one step installs; the rest is left to later runs.
constexpr int maxPlanEntries = 100;

// A version text read as a single-precision number in the C locale; text that is not a
// number, or lies outside the float range, reads as 0.
float readVersion(const QString& text);

// A single-precision version widened to double, in fixed notation with three decimals.
QString renderVersion(float value);

// The body of a version reply as text: UTF-8, cut at the first NUL byte.
QString decodeVersionReply(const QByteArray& body);

// The versions after `installed` up to and including `server`, in steps of 0.001 with
// the running value kept in single precision. `onPass` sees (installed, server) at the
// start of every pass, for the log.
QStringList versionPlan(const QString& server, const QString& installed,
    const std::function<void(float current, float server)>& onPass = {});

#endif // VERSIONPLAN_H
