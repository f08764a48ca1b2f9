#pragma once

#include <QDateTime>

/// Local date and time to the millisecond; tests substitute a clock they drive.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};
