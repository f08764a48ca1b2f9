#pragma once

#include <QObject>

class QSocketNotifier;

/// SIGTERM (shutdown) and SIGHUP (logout) turned into a Qt signal delivered by the event loop,
/// so the program ends through its own end steps rather than where the signal finds it. The
/// handler only writes a byte to a pipe. One instance at a time; it restores the previous
/// handlers when it goes.
class EndSignals : public QObject {
    Q_OBJECT
public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    /// False when the signals could not be watched (a second instance, no pipe).
    bool isWatching() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void endRequested();

private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
};
