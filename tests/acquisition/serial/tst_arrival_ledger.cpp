// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/serial/arrival_ledger.h"

#include <QTest>

namespace {

// When each of the next `n` bytes handed out arrived; -1 for a byte without a time.
QList<qint64> handOut(ArrivalLedger& ledger, int n) {
    QList<qint64> times;
    for (int i = 0; i < n; ++i)
        times << ledger.handOut().value_or(-1);
    return times;
}

} // namespace

// The arrival times of received bytes, as the serial layer keeps them between Qt's buffer and
// the loop: every byte handed out with the time Qt was first seen to hold it.
class TstArrivalLedger : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chunksHandedOutInOrder() {
        ArrivalLedger ledger;
        ledger.note(3, 100);
        ledger.note(3, 150); // nothing new
        ledger.note(5, 200);
        ledger.taken(5);
        ledger.note(2, 300); // Qt collects more while the taken bytes are read
        QCOMPARE(ledger.count(), 7);
        QCOMPARE(ledger.held(), 2);
        QCOMPARE(handOut(ledger, 8), QList<qint64>({100, 100, 100, 200, 200, 300, 300, -1}));
        QCOMPARE(ledger.count(), 0);
    }

    void discardForgetsOnlyWhatQtHeld() {
        ArrivalLedger ledger;
        ledger.note(4, 100);
        ledger.taken(2);
        ledger.note(3, 200); // Qt holds 2 of the first chunk and 1 new byte
        ledger.forgetHeld();
        QCOMPARE(ledger.count(), 2);
        ledger.note(1, 300);
        QCOMPARE(handOut(ledger, 4), QList<qint64>({100, 100, 300, -1}));
    }

    void bytesLeavingQtUnreadLoseTheirTimes() {
        ArrivalLedger ledger;
        ledger.note(6, 100);
        ledger.taken(1);
        // Qt's input was cleared and two new bytes came: fewer than noted.
        ledger.note(2, 400);
        QCOMPARE(ledger.count(), 3);
        QCOMPARE(handOut(ledger, 3), QList<qint64>({100, 400, 400}));
    }

    void removalKeepsTheTimesOfUnreadBytes() {
        ArrivalLedger ledger;
        ledger.note(3, 100);
        ledger.taken(3);
        QCOMPARE(ledger.handOut(), std::optional<qint64>(100));
        ledger.note(4, 200);
        // The device went away: everything Qt held is taken before the port closes.
        ledger.taken(ledger.held());
        QCOMPARE(ledger.held(), 0);
        ledger.forgetHeld(); // the next open's discard
        QCOMPARE(handOut(ledger, 7), QList<qint64>({100, 100, 200, 200, 200, 200, -1}));
        ledger.note(1, 500);
        ledger.clear();
        QCOMPARE(ledger.handOut(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TstArrivalLedger)
#include "tst_arrival_ledger.moc"
