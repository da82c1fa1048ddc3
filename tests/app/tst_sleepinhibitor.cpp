#include "FakeDesktopBus.h"
#include "SleepInhibitor.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {
const QString reason = QStringLiteral("Uploading a video");
}

class SleepInhibitorTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeDesktopBus> bus;

    // Its session and system buses are both the private one.
    std::unique_ptr<SleepInhibitor> makeInhibitor()
    {
        return std::make_unique<SleepInhibitor>(reason, bus->connect(), bus->connect());
    }

private Q_SLOTS:
    void init()
    {
        bus = std::make_unique<FakeDesktopBus>();
        const QString failure = bus->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    // Before the next one takes the names of its connections.
    void cleanup() { bus.reset(); }

    // No portal: the bus answers with an error, as a portal without an inhibit backend does, and
    // logind is asked. How a run holds and lets go of the portal's is the upload's desktop suite.
    void withoutAPortalLogindHoldsSuspendOffUntilReleasedOrDestroyed()
    {
        bus->serveLogind();
        auto inhibitor = makeInhibitor();
        inhibitor->acquire();
        inhibitor->acquire();
        QTRY_COMPARE(bus->activeInhibitions(), 1);
        inhibitor->release();
        QTRY_COMPARE(bus->activeInhibitions(), 0);
        inhibitor->acquire();
        QTRY_COMPARE(bus->activeInhibitions(), 1);
        inhibitor.reset();
        QTRY_COMPARE(bus->activeInhibitions(), 0);
        const QString request = QStringLiteral("logind Inhibit(sleep, tst_sleepinhibitor, Uploading a video, block)");
        QCOMPARE(bus->grantedRequests, QStringList({request, request}));
    }

    // On a bus without the services, and on none at all.
    void withNobodyToAskItCarriesOnSilently()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        const QDBusConnection none(QStringLiteral("never-connected"));
        std::unique_ptr<SleepInhibitor> inhibitors[] = {makeInhibitor(),
                                                        std::make_unique<SleepInhibitor>(reason, none, none)};
        for (auto &inhibitor : inhibitors)
            inhibitor->acquire();
        QTest::qWait(100); // for a warning the answers could bring
        for (auto &inhibitor : inhibitors) {
            inhibitor->release();
            inhibitor->acquire();
            inhibitor.reset();
        }
        QTest::qWait(100);
    }

    // What the portal grants once no longer wanted is given back; wanted again meanwhile, it is kept.
    void whatIsGrantedAfterTheReleaseIsGivenBack_data()
    {
        QTest::addColumn<QString>("beforeTheAnswer");
        QTest::addColumn<int>("kept");
        QTest::newRow("released") << "release" << 0;
        QTest::newRow("released and wanted again") << "release, acquire" << 1;
        QTest::newRow("destroyed") << "destroy" << 0;
    }

    void whatIsGrantedAfterTheReleaseIsGivenBack()
    {
        QFETCH(QString, beforeTheAnswer);
        QFETCH(int, kept);
        bus->servePortal();
        bus->portalHoldsAnswers = true;
        auto inhibitor = makeInhibitor();
        inhibitor->acquire();
        beforeTheAnswer == u"destroy" ? inhibitor.reset() : inhibitor->release();
        if (beforeTheAnswer.endsWith(u"acquire"))
            inhibitor->acquire();
        QTRY_COMPARE(bus->heldCallCount(), 1);
        bus->answerHeldCalls();
        // Whether it is kept shows once the answer is in: waiting longer never fails a sound build.
        QTest::qWait(100);
        QTRY_COMPARE(bus->activeInhibitions(), kept);
        QCOMPARE(bus->grantedRequests.size(), 1);
        inhibitor.reset();
        QTRY_COMPARE(bus->activeInhibitions(), 0);
    }
};

QTEST_GUILESS_MAIN(SleepInhibitorTest)
#include "tst_sleepinhibitor.moc"
