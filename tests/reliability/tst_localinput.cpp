#include "Diagnostics.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "TestHttpServer.h"
#include "WorkflowRun.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// Files that cannot be uploaded as picked are refused with a clear reason before anything
// is sent.
class LocalInputTest : public QObject
{
    Q_OBJECT

    // Every request that reaches it is a failure.
    TestHttpServer service;
    QTemporaryDir folder;
    std::unique_ptr<SessionManager> session;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // Searchable by anyone, for the case run as nobody.
        QVERIFY(folder.isValid() && QFile::setPermissions(folder.path(), QFile::Permissions(0x7755))); // rwxr-xr-x
        QVERIFY(service.listen());
        session = std::make_unique<SessionManager>(APIService(service.url("/api").toString()));
        session->setApiKey(QStringLiteral("key"));
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
        QTest::newRow("a link to nowhere") << "link" << "moved.mov" << "The file \"moved.mov\" could not be read.";
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
        if (kind == u"unreadable" || kind == u"gone")
            QVERIFY(writeFile(path, "secret footage") && QFile::setPermissions(path, QFile::Permissions()));
        if (kind == u"link")
            QVERIFY(QFile::link(folder.filePath("elsewhere.mov"), path));
        FileUploaderState state{APIService(service.url("/api").toString())};
        state.setSessionManager(session.get());
        pickVideo(state, QUrl::fromLocalFile(path));
        if (kind == u"gone")
            QVERIFY(QFile::remove(path));

        Diagnostics::Capture output;
        // Root reads any file whatever its mode, so the run looks at it as nobody. The effective
        // user is the whole process's, worker threads too.
        const passwd *nobody = ::getpwnam("nobody");
        const bool asNobody = kind == u"unreadable" && ::geteuid() == 0;
        QVERIFY2(!asNobody || (nobody && ::seteuid(nobody->pw_uid) == 0), "could not stop being root");
        const bool ended = startAndFinish(state);
        QVERIFY(!asNobody || ::seteuid(0) == 0);
        QVERIFY2(ended, qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload failed: " + description);
        QCOMPARE(state.logs(), "❌ Upload errored: " + description + "\n");
        QCOMPARE(service.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(LocalInputTest)
#include "tst_localinput.moc"
