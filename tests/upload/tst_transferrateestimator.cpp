#include "TransferRateEstimator.h"

#include <QLocale>
#include <QTest>

using Clock = TransferRateEstimator::Clock;

namespace {
constexpr qint64 megabyte = 1'000'000;

Clock::time_point at(double seconds)
{
    return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// In whole bytes per second and whole seconds; -1 stands for "not known".
qint64 speedAt(const TransferRateEstimator &estimator, double seconds)
{
    const auto speed = estimator.bytesPerSecond(at(seconds));
    return speed ? qRound64(*speed) : -1;
}

qint64 secondsLeftAt(const TransferRateEstimator &estimator, double seconds)
{
    const auto left = estimator.timeRemaining(at(seconds));
    return left ? left->count() : -1;
}

// A 100 MB file going up at 5 MB/s in parts of 10 MB, three of them stored by the 6th second.
TransferRateEstimator steadyUpload()
{
    TransferRateEstimator estimator(at(0));
    estimator.planFiles({100 * megabyte});
    estimator.beginFile(100 * megabyte);
    estimator.fileProgress(0.1, at(2));
    estimator.fileProgress(0.2, at(4));
    estimator.fileProgress(0.3, at(6));
    return estimator;
}
}

class TransferRateEstimatorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aSteadyUploadCountsDownBetweenParts()
    {
        const TransferRateEstimator estimator = steadyUpload();
        QCOMPARE(speedAt(estimator, 6), 5'000'000);
        QCOMPARE(secondsLeftAt(estimator, 6), 14);
        QCOMPARE(secondsLeftAt(estimator, 7), 13);
        // The next part is due now, not overdue.
        QCOMPARE(speedAt(estimator, 8), 5'000'000);
        QCOMPARE(secondsLeftAt(estimator, 8), 12);
    }

    void theSpeedIsAnAverageWeightedByTimeAndSlowedByAnOverduePart()
    {
        TransferRateEstimator faster = steadyUpload();
        faster.fileProgress(0.5, at(8));
        QCOMPARE(speedAt(faster, 8), 5'906'346);

        // A stall or a part being retried: nothing arrives for ten seconds, and at most the one
        // part in flight has gone up meanwhile: 60 MB are left.
        TransferRateEstimator onePart = steadyUpload();
        QCOMPARE(speedAt(onePart, 16), 1'000'000);
        QCOMPARE(secondsLeftAt(onePart, 16), 60);
        onePart.fileProgress(0.4, at(16));
        QCOMPARE(speedAt(onePart, 16), 2'471'518);
        // Ten parts of a second at the same speed: the same average.
        TransferRateEstimator smallParts = steadyUpload();
        for (int part = 1; part <= 10; ++part)
            smallParts.fileProgress(0.3 + 0.01 * part, at(6 + part));
        QCOMPARE(speedAt(smallParts, 16), 2'471'518);
    }

    void theFilesStillToComeCountInTheTimeLeft()
    {
        TransferRateEstimator estimator(at(0));
        estimator.beginFile(20 * megabyte);
        estimator.fileProgress(0.5, at(1));
        QCOMPARE(speedAt(estimator, 1), 10'000'000);
        // The plan is late: the file begun meanwhile keeps the size read for it.
        QCOMPARE(secondsLeftAt(estimator, 1), 1);
        estimator.planFiles({30 * megabyte, 80 * megabyte});
        QCOMPARE(secondsLeftAt(estimator, 1), 9);
        estimator.fileProgress(1.0, at(2));
        QCOMPARE(secondsLeftAt(estimator, 2), 8);
        // The next file has grown since the run started; its session took a second.
        estimator.beginFile(120 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 2), 12);
        estimator.fileProgress(0.25, at(5));
        QCOMPARE(speedAt(estimator, 5), 10'000'000);
        QCOMPARE(secondsLeftAt(estimator, 5), 9);
    }

    void nothingIsShownForEmptyFilesBeforeTheFirstPartOrAfterTheLast()
    {
        TransferRateEstimator estimator(at(0));
        estimator.planFiles({0, 10 * megabyte});
        estimator.beginFile(0);
        estimator.fileProgress(1.0, at(1));
        QCOMPARE(speedAt(estimator, 1), -1);
        QCOMPARE(secondsLeftAt(estimator, 1), -1);
        // The empty file does not restart the clock.
        estimator.beginFile(10 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 1), -1);
        estimator.fileProgress(0.5, at(5));
        QCOMPARE(speedAt(estimator, 5), 1'000'000);
        estimator.fileProgress(1.0, at(6));
        QCOMPARE(speedAt(estimator, 6), -1);
        QCOMPARE(secondsLeftAt(estimator, 6), -1);
    }

    void simultaneousAndBackwardReportsAreHarmless()
    {
        TransferRateEstimator estimator(at(0));
        estimator.planFiles({100 * megabyte});
        estimator.beginFile(100 * megabyte);
        estimator.fileProgress(0.1, at(0));
        QCOMPARE(speedAt(estimator, 0), -1);
        estimator.fileProgress(0.2, at(2));
        estimator.fileProgress(0.15, at(3));
        estimator.fileProgress(0.2, at(3));
        QCOMPARE(speedAt(estimator, 3), 10'000'000);
        QCOMPARE(secondsLeftAt(estimator, 3), 7);
    }

    void textsAreDecimalAndRoundedToWhatMatters()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(formatTransferSpeed(999.4), "999 bytes/s");
        QCOMPARE(formatTransferSpeed(1000.0), "1.0 kB/s");
        QCOMPARE(formatTransferSpeed(12'345'678.0), "12.3 MB/s");
        QCOMPARE(formatTransferSpeed(1.5e9), "1.5 GB/s");
        const auto left = [](qint64 seconds) { return formatTimeRemaining(std::chrono::seconds(seconds)); };
        QCOMPARE(left(0), "5 s left");
        QCOMPARE(left(44), "45 s left");
        QCOMPARE(left(55), "55 s left");
        QCOMPARE(left(56), "1 min left");
        QCOMPARE(left(90), "2 min left");
        QCOMPARE(left(3569), "59 min left");
        QCOMPARE(left(3570), "1 h left");
        QCOMPARE(left(7500), "2 h 5 min left");
    }
};

QTEST_GUILESS_MAIN(TransferRateEstimatorTest)
#include "tst_transferrateestimator.moc"
