#include "FakeDesktopBus.h"
#include "SleepInhibitor.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {
const QString reason = QStringLiteral("Uploading a video");
const QString portalRequest = QStringLiteral("portal Inhibit('', 4, {reason: Uploading a video})");
const QString logindRequest = QStringLiteral("logind Inhibit(sleep, tst_sleepinhibitor, Uploading a video, block)");

// Gives answers in flight the time to arrive. Only checks that something did NOT happen wait
// for it, so a slow machine can let a fault slip through but never fails a sound build.
void letAnswersArrive()
{
    QTest::qWait(100);
}
}

class SleepInhibitorTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeDesktopBus> bus;
    int clientCount = 0;

    // Both of its buses are the private one.
    std::unique_ptr<SleepInhibitor> makeInhibitor()
    {
        const QDBusConnection client = bus->connect(QStringLiteral("client-%1").arg(++clientCount));
        return std::make_unique<SleepInhibitor>(reason, client, client);
    }

private Q_SLOTS:
    void init()
    {
        bus = std::make_unique<FakeDesktopBus>();
        const QString failure = bus->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup() { bus.reset(); }

    void holdsSuspendOffUntilReleasedOrDestroyed_data()
    {
        QTest::addColumn<bool>("portalPresent");
        QTest::addColumn<bool>("portalRefuses");
        QTest::addColumn<QString>("request");
        QTest::newRow("through the portal") << true << false << portalRequest;
        QTest::newRow("no portal: logind") << false << false << logindRequest;
        QTest::newRow("a portal without an inhibit backend: logind") << true << true << logindRequest;
    }

    void holdsSuspendOffUntilReleasedOrDestroyed()
    {
        QFETCH(bool, portalPresent);
        QFETCH(bool, portalRefuses);
        QFETCH(QString, request);
        if (portalPresent)
            bus->servePortal();
        bus->portalRefuses = portalRefuses;
        bus->serveLogind();
        auto inhibitor = makeInhibitor();

        inhibitor->acquire();
        inhibitor->acquire();
        QTRY_COMPARE(bus->activeInhibitions(), 1);
        QCOMPARE(bus->grantedRequests, QStringList{request});
        inhibitor->release();
        QTRY_COMPARE(bus->activeInhibitions(), 0);
        inhibitor->acquire();
        QTRY_COMPARE(bus->activeInhibitions(), 1);
        QCOMPARE(bus->grantedRequests, QStringList({request, request}));
        inhibitor.reset();
        QTRY_COMPARE(bus->activeInhibitions(), 0);
    }

    void withNobodyToAskItCarriesOnSilently_data()
    {
        QTest::addColumn<bool>("busAvailable");
        QTest::newRow("a bus without the services") << true;
        QTest::newRow("no bus at all") << false;
    }

    void withNobodyToAskItCarriesOnSilently()
    {
        QFETCH(bool, busAvailable);
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        const QDBusConnection none(QStringLiteral("never-connected"));
        auto inhibitor = busAvailable ? makeInhibitor() : std::make_unique<SleepInhibitor>(reason, none, none);
        inhibitor->acquire();
        letAnswersArrive();
        inhibitor->release();
        inhibitor->acquire();
        inhibitor.reset();
        letAnswersArrive();
    }

    void whatIsGrantedAfterTheReleaseIsGivenBack()
    {
        bus->servePortal();
        bus->portalHoldsAnswers = true;
        auto inhibitor = makeInhibitor();

        inhibitor->acquire();
        QTRY_COMPARE(bus->heldCallCount(), 1);
        inhibitor->release();
        bus->answerHeldCalls();
        QCOMPARE(bus->activeInhibitions(), 1);
        QTRY_COMPARE(bus->activeInhibitions(), 0);

        // Wanted again before the answer came: it is kept until the next release.
        inhibitor->acquire();
        QTRY_COMPARE(bus->heldCallCount(), 1);
        inhibitor->release();
        inhibitor->acquire();
        bus->answerHeldCalls();
        letAnswersArrive();
        QCOMPARE(bus->activeInhibitions(), 1);
        QCOMPARE(bus->inhibitions.size(), 2);
        inhibitor->release();
        QTRY_COMPARE(bus->activeInhibitions(), 0);

        // Destroyed while the portal has not answered yet: what it grants is given back.
        inhibitor->acquire();
        QTRY_COMPARE(bus->heldCallCount(), 1);
        inhibitor.reset();
        bus->answerHeldCalls();
        QCOMPARE(bus->inhibitions.size(), 3);
        QTRY_COMPARE(bus->activeInhibitions(), 0);
    }
};

QTEST_GUILESS_MAIN(SleepInhibitorTest)
#include "tst_sleepinhibitor.moc"
