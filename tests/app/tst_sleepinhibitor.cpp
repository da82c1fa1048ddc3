#include "FakeDesktopBus.h"
#include "SleepInhibitor.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {
const QString reason = QStringLiteral("Uploading a video");
constexpr uint suspendFlag = 4;

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

    void cleanup()
    {
        bus.reset();
    }

    void thePortalInhibitsSuspendUntilReleased()
    {
        FakePortal &portal = bus->servePortal();
        FakeLogind &logind = bus->serveLogind();
        auto inhibitor = makeInhibitor();

        inhibitor->acquire();
        inhibitor->acquire();
        QTRY_COMPARE(portal.activeInhibitions(), 1);
        const FakePortal::Inhibition inhibition = portal.inhibitions.first();
        QCOMPARE(inhibition.flags, suspendFlag);
        QCOMPARE(inhibition.window, QString());
        QCOMPARE(inhibition.options, QVariantMap({{QStringLiteral("reason"), reason}}));

        inhibitor->release();
        QTRY_COMPARE(portal.activeInhibitions(), 0);
        // The close came after anything else the inhibitor sent.
        QCOMPARE(portal.inhibitions.size(), 1);
        QVERIFY(logind.locks.isEmpty());

        inhibitor->acquire();
        QTRY_COMPARE(portal.activeInhibitions(), 1);
        QCOMPARE(portal.inhibitions.size(), 2);
    }

    void withoutAPortalLogindHoldsALock_data()
    {
        QTest::addColumn<bool>("portalPresent");
        QTest::newRow("no portal") << false;
        QTest::newRow("a portal without an inhibit backend") << true;
    }

    void withoutAPortalLogindHoldsALock()
    {
        QFETCH(bool, portalPresent);
        if (portalPresent)
            bus->servePortal().refuses = true;
        FakeLogind &logind = bus->serveLogind();
        auto inhibitor = makeInhibitor();

        inhibitor->acquire();
        QTRY_COMPARE(logind.activeLocks(), 1);
        const FakeLogind::Lock lock = logind.locks.first();
        QCOMPARE(lock.what, "sleep");
        QCOMPARE(lock.who, QCoreApplication::applicationName());
        QCOMPARE(lock.why, reason);
        QCOMPARE(lock.mode, "block");

        inhibitor->release();
        QTRY_COMPARE(logind.activeLocks(), 0);
        QCOMPARE(logind.locks.size(), 1);
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
        auto inhibitor = busAvailable ? makeInhibitor()
                                      : std::make_unique<SleepInhibitor>(reason, none, none);
        inhibitor->acquire();
        letAnswersArrive();
        inhibitor->release();
        inhibitor->acquire();
        inhibitor.reset();
        letAnswersArrive();
    }

    void whatIsGrantedAfterTheReleaseIsGivenBack()
    {
        FakePortal &portal = bus->servePortal();
        portal.holdsAnswers = true;
        auto inhibitor = makeInhibitor();

        inhibitor->acquire();
        QTRY_COMPARE(portal.heldCallCount(), 1);
        inhibitor->release();
        portal.answerHeldCalls();
        QCOMPARE(portal.activeInhibitions(), 1);
        QTRY_COMPARE(portal.activeInhibitions(), 0);

        // Wanted again before the answer came: it is kept until the next release.
        inhibitor->acquire();
        QTRY_COMPARE(portal.heldCallCount(), 1);
        inhibitor->release();
        inhibitor->acquire();
        portal.answerHeldCalls();
        letAnswersArrive();
        QCOMPARE(portal.activeInhibitions(), 1);
        QCOMPARE(portal.inhibitions.size(), 2);
        inhibitor->release();
        QTRY_COMPARE(portal.activeInhibitions(), 0);
    }

    void destroyingItLetsGo_data()
    {
        QTest::addColumn<bool>("throughPortal");
        QTest::addColumn<bool>("stillAsking");
        QTest::newRow("held through the portal") << true << false;
        QTest::newRow("held through logind") << false << false;
        QTest::newRow("the portal has not answered yet") << true << true;
    }

    void destroyingItLetsGo()
    {
        QFETCH(bool, throughPortal);
        QFETCH(bool, stillAsking);
        FakePortal *portal = throughPortal ? &bus->servePortal() : nullptr;
        FakeLogind &logind = bus->serveLogind();
        if (portal)
            portal->holdsAnswers = stillAsking;
        auto inhibitor = makeInhibitor();
        const auto active = [&] { return portal ? portal->activeInhibitions() : logind.activeLocks(); };

        inhibitor->acquire();
        if (stillAsking)
            QTRY_COMPARE(portal->heldCallCount(), 1);
        else
            QTRY_COMPARE(active(), 1);
        inhibitor.reset();
        if (stillAsking) {
            portal->answerHeldCalls();
            QCOMPARE(portal->inhibitions.size(), 1);
        }
        QTRY_COMPARE(active(), 0);
        QVERIFY(!portal || logind.locks.isEmpty());
    }
};

QTEST_GUILESS_MAIN(SleepInhibitorTest)
#include "tst_sleepinhibitor.moc"
