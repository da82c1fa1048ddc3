#include "TransferRateEstimator.h"

#include <QLocale>
#include <QTest>

using Clock = TransferRateEstimator::Clock;
// Whole bytes per second and whole seconds left; -1 stands for "not known".
using Shown = std::pair<qint64, qint64>;

namespace {
constexpr qint64 megabyte = 1'000'000;

Clock::time_point at(double seconds)
{
    return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Shown shownAt(const TransferRateEstimator &estimator, double seconds)
{
    const auto speed = estimator.bytesPerSecond(at(seconds));
    const auto left = estimator.timeRemaining(at(seconds));
    return {speed ? qRound64(*speed) : -1, left ? left->count() : -1};
}
}

class TransferRateEstimatorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theSpeedIsAnAverageWeightedByTimeAndSlowedByAnOverduePart()
    {
        // A 100 MB file going up at 5 MB/s in parts of 10 MB, three of them stored by the 6th second.
        TransferRateEstimator steady(at(0));
        steady.planFiles({100 * megabyte});
        steady.beginFile(100 * megabyte);
        for (int part = 1; part <= 3; ++part)
            steady.fileProgress(0.1 * part, at(2 * part));
        TransferRateEstimator smallParts = steady;
        QCOMPARE(shownAt(steady, 6), Shown(5'000'000, 14));
        // The next part is due now, not overdue.
        QCOMPARE(shownAt(steady, 8), Shown(5'000'000, 12));
        // A stall or a part being retried: nothing arrives for ten seconds, and at most the one
        // part in flight has gone up meanwhile: 60 MB are left.
        QCOMPARE(shownAt(steady, 16), Shown(1'000'000, 60));
        steady.fileProgress(0.4, at(16));
        QCOMPARE(shownAt(steady, 16).first, 2'471'518);
        // Ten parts of a second at the same speed: the same average.
        for (int part = 1; part <= 10; ++part)
            smallParts.fileProgress(0.3 + 0.01 * part, at(6 + part));
        QCOMPARE(shownAt(smallParts, 16).first, 2'471'518);
    }

    void theTimeLeftCoversTheFilesToComeAndEndsWithTheLast()
    {
        TransferRateEstimator estimator(at(0));
        estimator.beginFile(20 * megabyte);
        // Reports at the same instant as the last, or going back, are folded into the next.
        estimator.fileProgress(0.25, at(0));
        estimator.fileProgress(0.5, at(1));
        // The plan is late: the file begun meanwhile keeps the size read for it.
        QCOMPARE(shownAt(estimator, 1), Shown(10'000'000, 1));
        estimator.planFiles({30 * megabyte, 80 * megabyte});
        QCOMPARE(shownAt(estimator, 1).second, 9);
        estimator.fileProgress(1.0, at(2));
        estimator.fileProgress(0.9, at(3));
        QCOMPARE(shownAt(estimator, 2).second, 8);
        // The next file has grown since the run started; its session took a second.
        estimator.beginFile(120 * megabyte);
        QCOMPARE(shownAt(estimator, 2).second, 12);
        estimator.fileProgress(0.25, at(5));
        QCOMPARE(shownAt(estimator, 5), Shown(10'000'000, 9));

        // Nothing is shown for an empty file, which does not restart the clock, nor once all is stored.
        TransferRateEstimator emptyFirst(at(0));
        emptyFirst.planFiles({0, 10 * megabyte});
        emptyFirst.beginFile(0);
        emptyFirst.fileProgress(1.0, at(1));
        QCOMPARE(shownAt(emptyFirst, 1), Shown(-1, -1));
        emptyFirst.beginFile(10 * megabyte);
        emptyFirst.fileProgress(0.5, at(5));
        QCOMPARE(shownAt(emptyFirst, 5).first, 1'000'000);
        emptyFirst.fileProgress(1.0, at(6));
        QCOMPARE(shownAt(emptyFirst, 6), Shown(-1, -1));
    }

    void textsAreDecimalAndRoundedToWhatMatters()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(QStringList({formatTransferSpeed(999.4), formatTransferSpeed(1000.0), formatTransferSpeed(12'345'678.0),
                              formatTransferSpeed(1.5e9)}),
                 QStringList({"999 bytes/s", "1.0 kB/s", "12.3 MB/s", "1.5 GB/s"}));
        const auto left = [](qint64 seconds) { return formatTimeRemaining(std::chrono::seconds(seconds)); };
        QCOMPARE(QStringList({left(0), left(44), left(55), left(56), left(90), left(3569), left(3570), left(7500)}),
                 QStringList({"5 s left", "45 s left", "55 s left", "1 min left", "2 min left", "59 min left", "1 h left",
                              "2 h 5 min left"}));
    }
};

QTEST_GUILESS_MAIN(TransferRateEstimatorTest)
#include "tst_transferrateestimator.moc"
