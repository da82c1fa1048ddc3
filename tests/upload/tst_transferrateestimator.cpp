#include "TransferRateEstimator.h"

#include <QLocale>
#include <QTest>

#include <cmath>

using Clock = TransferRateEstimator::Clock;

namespace {
constexpr double megabyte = 1e6;

Clock::time_point at(double seconds)
{
    return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// -1 stands for "not known".
double speedAt(const TransferRateEstimator &estimator, double seconds)
{
    return estimator.bytesPerSecond(at(seconds)).value_or(-1.0);
}

qint64 secondsLeftAt(const TransferRateEstimator &estimator, double seconds)
{
    const auto left = estimator.timeRemaining(at(seconds));
    return left ? left->count() : -1;
}

double smoothed(double previous, double sample, double sampleSeconds)
{
    const double weight = 1.0 - std::exp(-sampleSeconds / TransferRateEstimator::smoothingTime.count());
    return previous + weight * (sample - previous);
}

// A 100 MB file going up at 5 MB/s in parts of 10 MB, three of them stored by the 6th second.
TransferRateEstimator steadyUpload()
{
    TransferRateEstimator estimator(at(0));
    estimator.planFiles({qint64(100 * megabyte)});
    estimator.beginFile(qint64(100 * megabyte));
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
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void aSteadyUploadCountsDownBetweenParts()
    {
        const TransferRateEstimator estimator = steadyUpload();
        QCOMPARE(speedAt(estimator, 6), 5 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 6), 14);
        QCOMPARE(secondsLeftAt(estimator, 7), 13);
        // The next part is due now, not overdue.
        QCOMPARE(speedAt(estimator, 8), 5 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 8), 12);
    }

    void theSpeedIsAnAverageWeightedByTime()
    {
        TransferRateEstimator estimator = steadyUpload();
        estimator.fileProgress(0.5, at(8));
        QCOMPARE(speedAt(estimator, 8), smoothed(5 * megabyte, 10 * megabyte, 2));

        // Ten parts of a second or one part of ten seconds, at the same speed: the same average.
        TransferRateEstimator smallParts = steadyUpload();
        for (int part = 1; part <= 10; ++part)
            smallParts.fileProgress(0.3 + 0.01 * part, at(6 + part));
        TransferRateEstimator onePart = steadyUpload();
        onePart.fileProgress(0.4, at(16));
        QCOMPARE(speedAt(smallParts, 16), speedAt(onePart, 16));
        QCOMPARE(speedAt(onePart, 16), smoothed(5 * megabyte, 1 * megabyte, 10));
    }

    void anOverduePartSlowsTheEstimateDown()
    {
        // A stall or a part being retried: nothing arrives for ten seconds.
        TransferRateEstimator estimator = steadyUpload();
        QCOMPARE(speedAt(estimator, 16), 1 * megabyte);
        // At most the one part in flight has gone up meanwhile: 60 MB are left.
        QCOMPARE(secondsLeftAt(estimator, 16), 60);

        estimator.fileProgress(0.4, at(16));
        QCOMPARE(speedAt(estimator, 16), smoothed(5 * megabyte, 1 * megabyte, 10));
    }

    void theFilesStillToComeCountInTheTimeLeft()
    {
        TransferRateEstimator estimator(at(0));
        estimator.beginFile(qint64(20 * megabyte));
        estimator.fileProgress(0.5, at(1));
        QCOMPARE(speedAt(estimator, 1), 10 * megabyte);
        // The plan is late: the file begun meanwhile keeps the size read for it.
        QCOMPARE(secondsLeftAt(estimator, 1), 1);
        estimator.planFiles({qint64(30 * megabyte), qint64(80 * megabyte)});
        QCOMPARE(secondsLeftAt(estimator, 1), 9);
        estimator.fileProgress(1.0, at(2));
        QCOMPARE(speedAt(estimator, 2), 10 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 2), 8);

        // The next file has grown since the run started; its session took a second.
        estimator.beginFile(qint64(120 * megabyte));
        QCOMPARE(secondsLeftAt(estimator, 2), 12);
        estimator.fileProgress(0.25, at(5));
        const double speed = smoothed(10 * megabyte, 30 * megabyte / 3, 3);
        QCOMPARE(speedAt(estimator, 5), speed);
        QCOMPARE(secondsLeftAt(estimator, 5), qint64(std::ceil(90 * megabyte / speed)));
    }

    void emptyFilesGiveNoSpeedAndDoNotRestartTheClock()
    {
        TransferRateEstimator empty(at(0));
        empty.planFiles({0});
        empty.beginFile(0);
        empty.fileProgress(1.0, at(1));
        QCOMPARE(speedAt(empty, 1), -1.0);
        QCOMPARE(secondsLeftAt(empty, 1), -1);

        TransferRateEstimator emptyThenVideo(at(0));
        emptyThenVideo.planFiles({0, qint64(10 * megabyte)});
        emptyThenVideo.beginFile(0);
        emptyThenVideo.fileProgress(1.0, at(1));
        QCOMPARE(speedAt(emptyThenVideo, 1), -1.0);
        emptyThenVideo.beginFile(qint64(10 * megabyte));
        emptyThenVideo.fileProgress(0.5, at(5));
        QCOMPARE(speedAt(emptyThenVideo, 5), 1 * megabyte);
    }

    void simultaneousAndBackwardReportsAreHarmless()
    {
        TransferRateEstimator estimator(at(0));
        estimator.planFiles({qint64(100 * megabyte)});
        estimator.beginFile(qint64(100 * megabyte));
        estimator.fileProgress(0.1, at(0));
        QCOMPARE(speedAt(estimator, 0), -1.0);
        estimator.fileProgress(0.2, at(2));
        QCOMPARE(speedAt(estimator, 2), 10 * megabyte);

        estimator.fileProgress(0.15, at(3));
        estimator.fileProgress(0.2, at(3));
        QCOMPARE(speedAt(estimator, 3), 10 * megabyte);
        QCOMPARE(secondsLeftAt(estimator, 3), 7);
    }

    void nothingIsShownBeforeTheFirstPartOrAfterTheLast()
    {
        TransferRateEstimator estimator(at(0));
        estimator.planFiles({qint64(10 * megabyte)});
        QCOMPARE(speedAt(estimator, 1), -1.0);
        estimator.beginFile(qint64(10 * megabyte));
        QCOMPARE(secondsLeftAt(estimator, 1), -1);
        estimator.fileProgress(1.0, at(2));
        QCOMPARE(speedAt(estimator, 2), -1.0);
        QCOMPARE(secondsLeftAt(estimator, 2), -1);
    }

    void speedsAreWrittenInDecimalUnits_data()
    {
        QTest::addColumn<double>("bytesPerSecond");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes") << 999.4 << "999 bytes/s";
        QTest::newRow("kilobytes") << 1000.0 << "1.0 kB/s";
        QTest::newRow("megabytes") << 12'345'678.0 << "12.3 MB/s";
        QTest::newRow("gigabytes") << 1.5e9 << "1.5 GB/s";
    }

    void speedsAreWrittenInDecimalUnits()
    {
        QFETCH(double, bytesPerSecond);
        QFETCH(QString, text);
        QCOMPARE(formatTransferSpeed(bytesPerSecond), text);
    }

    void timesLeftAreRoundedToWhatMatters_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << qint64(0) << "5 s left";
        QTest::newRow("one second") << qint64(1) << "5 s left";
        QTest::newRow("up to five") << qint64(44) << "45 s left";
        QTest::newRow("last seconds") << qint64(55) << "55 s left";
        QTest::newRow("nearly a minute") << qint64(56) << "1 min left";
        QTest::newRow("a minute and a half") << qint64(90) << "2 min left";
        QTest::newRow("under the hour") << qint64(3569) << "59 min left";
        QTest::newRow("nearly an hour") << qint64(3570) << "1 h left";
        QTest::newRow("hours and minutes") << qint64(7500) << "2 h 5 min left";
    }

    void timesLeftAreRoundedToWhatMatters()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(formatTimeRemaining(std::chrono::seconds(seconds)), text);
    }
};

QTEST_GUILESS_MAIN(TransferRateEstimatorTest)
#include "tst_transferrateestimator.moc"
