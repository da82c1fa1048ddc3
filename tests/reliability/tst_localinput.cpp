#include "AsyncSleep.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "TestHttpServer.h"
#include "WorkflowRun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 chunk = 256 * 1024;

// Root reads any file whatever its mode, so the test makes the process nobody for as long as
// the run looks at the file. The effective user is the whole process's, worker threads too.
class UnprivilegedWhileAlive
{
public:
    UnprivilegedWhileAlive()
    {
        if (::geteuid() != 0)
            return;
        const passwd *nobody = ::getpwnam("nobody");
        m_dropped = nobody && ::seteuid(nobody->pw_uid) == 0;
    }

    ~UnprivilegedWhileAlive()
    {
        if (m_dropped)
            std::ignore = ::seteuid(0);
    }

    bool isUnprivileged() const { return ::geteuid() != 0; }

private:
    bool m_dropped = false;
};
}

// Files that cannot be uploaded as picked are refused with a clear reason before anything
// is sent; unusual but valid names go through untouched.
class LocalInputTest : public QObject
{
    Q_OBJECT

    // Every request that reaches it is a failure of the refusal cases.
    TestHttpServer service;
    DevService stack;
    QTemporaryDir folder;
    std::unique_ptr<SessionManager> session;

    std::unique_ptr<FileUploaderState> stateAgainst(const QString &apiBaseUrl)
    {
        auto state = std::make_unique<FileUploaderState>(APIService(apiBaseUrl));
        state->setSessionManager(session.get());
        return state;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
        // Searchable by anyone, for the case run as nobody.
        QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                         | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                         | QFile::ExeOther));
        QVERIFY(service.listen());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk), "--min-part-size", "0"}),
                 qPrintable(stack.failure()));
        session = std::make_unique<SessionManager>(APIService(stack.apiUrl()));
        session->setApiKey(DevService::demoKey);
        AsyncSleep::setTimeScale(0.001);
    }

    void refusedBeforeAnythingIsSent_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::newRow("a folder") << "folder" << "Dive Clips" << "\"Dive Clips\" is a folder, not a file.";
        QTest::newRow("a named pipe") << "pipe" << "live feed.mov" << "\"live feed.mov\" is not a regular file.";
        QTest::newRow("an unreadable file")
            << "unreadable" << "locked.mov" << "The file \"locked.mov\" could not be read: Permission denied.";
        QTest::newRow("a file gone between picking and uploading")
            << "gone" << "gone.mov" << "The file \"gone.mov\" could not be read.";
        QTest::newRow("a link to nowhere") << "dangling link" << "moved.mov" << "The file \"moved.mov\" could not be read.";
    }

    void refusedBeforeAnythingIsSent()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QString, description);
        const QString path = folder.filePath(name);
        if (kind == u"folder")
            QVERIFY(QDir(folder.path()).mkdir(name));
        if (kind == u"pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == u"unreadable") {
            QVERIFY(writeFile(path, "secret footage"));
            QVERIFY(QFile::setPermissions(path, QFile::Permissions()));
        }
        if (kind == u"gone")
            QVERIFY(writeFile(path, "video"));
        if (kind == u"dangling link")
            QVERIFY(QFile::link(folder.filePath("elsewhere.mov"), path));

        auto state = stateAgainst(service.url("/api").toString());
        pickVideo(*state, QUrl::fromLocalFile(path));
        if (kind == u"gone")
            QVERIFY(QFile::remove(path));

        Diagnostics::Capture output;
        {
            std::optional<UnprivilegedWhileAlive> unprivileged;
            if (kind == u"unreadable") {
                unprivileged.emplace();
                QVERIFY2(unprivileged->isUnprivileged(), "could not stop being root");
            }
            QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        }
        QCOMPARE(state->statusMessage(), "Upload failed: " + description);
        QCOMPARE(state->logs(), "❌ Upload errored: " + description + "\n");
        QCOMPARE(service.requests().size(), 0);
    }

    // The session is already handed out; the transfer finds nothing to send and says so.
    void aFileGoneAfterTheSessionSendsNothingToStorage()
    {
        const QString name = QStringLiteral("vanishing.mov");
        const QString path = folder.filePath(name);
        QVERIFY(writeFile(path, sampleBytes(name, 2 * chunk)));
        auto state = stateAgainst(stack.apiUrl());
        pickVideo(*state, QUrl::fromLocalFile(path));
        connect(state.get(), &FileUploaderState::logsChanged, this, [&] {
            if (state->logs().startsWith(u"🎬 Uploading "))
                QFile::remove(path);
        });
        const qsizetype storageRequests = stack.storageRequests().size();

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        QCOMPARE(state->statusMessage(), "Upload failed: Failed to upload " + name);
        QCOMPARE(state->logs(), "🎬 Uploading " + name + "…\n❌ Upload errored: Failed to upload " + name + "\n");
        QVERIFY(output.lines().contains("❌ Failed to open file"));
        QCOMPARE(stack.storageRequests().size(), storageRequests);
    }

    void spacesAndLettersBeyondAsciiArriveIntact_data()
    {
        QTest::addColumn<QString>("subfolder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::newRow("one PUT") << "Übung 1" << "Tauchgang am Riff – Ærø.mov" << qint64(1000);
        QTest::newRow("in parts") << "水中 撮影" << "Plongée sous-marine 🐠 ñandú.mov" << 2 * chunk + 1;
    }

    void spacesAndLettersBeyondAsciiArriveIntact()
    {
        QFETCH(QString, subfolder);
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QVERIFY(QDir(folder.path()).mkpath(subfolder));
        const QString path = folder.filePath(subfolder + u'/' + name);
        const QByteArray bytes = sampleBytes(name, size);
        QVERIFY(writeFile(path, bytes));
        auto state = stateAgainst(stack.apiUrl());
        pickVideo(*state, QUrl::fromLocalFile(path));

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        QCOMPARE(state->statusMessage(), "Upload completed!");
        QVERIFY(state->logs().startsWith("🎬 Uploading " + name + "…\n"));
        QVERIFY(state->logs().contains("✅ Finished " + name + "\n"));
        const QJsonObject handedOut = stack.sessions().last().toObject();
        QCOMPARE(handedOut["fileName"].toString(), name);
        const QString bbUrl = handedOut["bbUrl"].toString();
        QCOMPARE(stack.library().last()["video_url_left"].toString(), bbUrl);
        const auto stored = stack.object(bbUrl);
        QVERIFY(stored);
        QCOMPARE(sha256(*stored), sha256(bytes));
    }
};

QTEST_GUILESS_MAIN(LocalInputTest)
#include "tst_localinput.moc"
