#include "APIService.h"
#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "StorageClient.h"
#include "FileUploaderState.h"
#include "HttpClient.h"
#include "PartUpload.h"
#include "SessionManager.h"
#include "TaskWaiter.h"
#include "TlsTestServer.h"
#include "UploadCompletion.h"
#include "WorkflowRun.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Known to the local stack only; it must never show anywhere but in the preferences.
const QString acceptedKey = QStringLiteral("vc_live_Q7mZ2xK9pL4wR8tN3vB6");
const QString rejectedKey = QStringLiteral("vc_live_J5hD8sA1fG4kL7zX0cV2");
constexpr qint64 chunk = 256 * 1024;

// Standard output and standard error of the whole process, diverted into a file for as long as
// it lives: whatever writes there (diagnostics, Qt's own messages) lands in the file.
class ProcessOutputCapture
{
public:
    explicit ProcessOutputCapture(const QString &path)
        : m_path(path)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        m_savedOut = ::dup(STDOUT_FILENO);
        m_savedError = ::dup(STDERR_FILENO);
        const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, STDOUT_FILENO);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }

    ~ProcessOutputCapture() { restore(); }

    QByteArray finish()
    {
        restore();
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(capture file missing)");
    }

private:
    void restore()
    {
        if (m_savedOut < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(m_savedOut, STDOUT_FILENO);
        ::dup2(m_savedError, STDERR_FILENO);
        ::close(m_savedOut);
        ::close(m_savedError);
        m_savedOut = m_savedError = -1;
    }

    QString m_path;
    int m_savedOut = -1;
    int m_savedError = -1;
};

// The forms a key could take on its way into a text or a file.
QList<QByteArray> encodingsOf(const QString &key)
{
    QByteArray utf16(reinterpret_cast<const char *>(key.utf16()), key.size() * 2);
    return {key.toUtf8(), key.toUtf8().toBase64(), QUrl::toPercentEncoding(key), utf16};
}

bool holdsKey(const QByteArray &bytes)
{
    for (const QString &key : {acceptedKey, rejectedKey}) {
        for (const QByteArray &encoded : encodingsOf(key)) {
            if (bytes.contains(encoded))
                return true;
        }
    }
    return false;
}
}

// The API key is the one secret the app holds: it is kept in a preferences file only its owner
// may read, it never shows in the output, the log or any other file, and it never goes to a
// server whose certificate does not check out.
class SecretsTest : public QObject
{
    Q_OBJECT

    // The home and scratch folders main() set up: everything the app writes lands in home.
    const QString home;
    const QString scratch;
    DevService stack;

public:
    SecretsTest(QString home, QString scratch)
        : home(std::move(home))
        , scratch(std::move(scratch))
    {
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk), "--min-part-size", "0", "--api-key", acceptedKey}),
                 qPrintable(stack.failure()));
        AsyncSleep::setTimeScale(0.001);
    }

    void thePreferencesFileIsReadableByItsOwnerAlone()
    {
        const QString path = ApiKeyPreference::filePath();
        QVERIFY2(path.startsWith(home), qPrintable(path));
        // An older file that others could read is closed to them as soon as a key goes in.
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(writeFile(path, "[General]\n"));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        const mode_t previousMask = ::umask(0022);
        SessionManager session{APIService(stack.apiUrl())};
        session.setStoredApiKey(acceptedKey);
        ::umask(previousMask);

        struct stat status;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0600));
        QCOMPARE(ApiKeyPreference::read(), acceptedKey);
        session.setStoredApiKey(QString());
    }

    void theKeyNeverShowsOutsideThePreferences()
    {
        const QString fileName = QStringLiteral("secret run.mov");
        const QString videoPath = scratch + u'/' + fileName;
        QVERIFY(writeFile(videoPath, sampleBytes(fileName, 2 * chunk + 99)));
        bool rejectedSignedOut = false;
        bool workspaceLoaded = false;
        QString status;
        QString logs;
        QByteArray output;
        {
            ProcessOutputCapture capture(scratch + QStringLiteral("/output.txt"));
            // A key the service refuses, then the one it accepts, stored as the sign-in does.
            SessionManager session{APIService(stack.apiUrl())};
            session.setApiKey(rejectedKey);
            session.setStoredApiKey(rejectedKey);
            QCoro::waitFor(session.fetchWorkspaceData());
            rejectedSignedOut = !session.hasApiKey();
            session.setApiKey(acceptedKey);
            session.setStoredApiKey(acceptedKey);
            QCoro::waitFor(session.fetchWorkspaceData());
            workspaceLoaded = session.hasWorkspace();

            FileUploaderState state{APIService(stack.apiUrl())};
            state.setSessionManager(&session);
            pickVideo(state, QUrl::fromLocalFile(videoPath));
            startAndFinish(state);
            status = state.statusMessage();
            logs = state.logs();
            output = capture.finish();
        }
        QVERIFY(rejectedSignedOut);
        QVERIFY(workspaceLoaded);
        QCOMPARE(status, "Upload completed!");
        QCOMPARE(stack.library().size(), 1);
        // The capture did catch the run's diagnostics.
        QVERIFY2(output.contains("✅ Finalization successful!"), output.constData());

        QVERIFY2(!holdsKey(output), output.constData());
        QVERIFY2(!holdsKey(logs.toUtf8()), qPrintable(logs));
        for (const QJsonValue request : stack.storageRequests())
            QVERIFY2(!holdsKey(request["path"].toString().toUtf8()), qPrintable(request["path"].toString()));

        const QString preferences = ApiKeyPreference::filePath();
        QFile stored(preferences);
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(stored.readAll().contains(acceptedKey.toUtf8()));
        QDirIterator files(home, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            if (path == preferences)
                continue;
            QFile file(path);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
            QVERIFY2(!holdsKey(file.readAll()), qPrintable(path + " holds the key"));
        }
    }

    void certificateErrorsAreNeverIgnored()
    {
        QString failure;
        const auto identity = TlsTestServer::makeSelfSigned(scratch, failure);
        QVERIFY2(identity, qPrintable(failure));
        TlsTestServer server(*identity);
        QVERIFY(server.listenOnLoopback());
        const QString origin = QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort());

        const auto workspace = waitForTask(APIService(origin + "/api").pullStartupInformation(acceptedKey));
        QVERIFY(!workspace);
        QVERIFY(workspace.error().isNetworkError());
        QCOMPARE(workspace.error().code(), qint64(QNetworkReply::SslHandshakeFailedError));

        // Storage goes through libcurl: a part from memory, a whole file streamed from disk, the
        // completion document.
        const QString objectUrl = origin + "/bucket/object";
        const auto handshakeFailed = [](const Error &error) {
            return error.code() == qint64(QNetworkReply::SslHandshakeFailedError);
        };
        qint64 uploadedBytes = 0;
        Diagnostics::Capture output;
        StorageClient storage;
        const auto part = waitForTask(uploadPartWithRetry(RequestBody::fromBytes("part bytes"), 1,
                                                          objectUrl + "?partNumber=1", 1, uploadedBytes, 10,
                                                          [](const QString &) {}, storage));
        QVERIFY(!part);
        QVERIFY2(handshakeFailed(part.error()), qPrintable(part.error().fullDescription()));

        const QString filePath = scratch + QStringLiteral("/whole.mov");
        QVERIFY(writeFile(filePath, "whole file bytes"));
        auto file = std::make_shared<QFile>(filePath);
        QVERIFY(file->open(QIODevice::ReadOnly));
        const auto whole = waitForTask(uploadSinglePartWithRetry(RequestBody::fromFile(file, 0, file->size()), 1,
                                                                 objectUrl, 1, file->size(), [](const QString &) {},
                                                                 storage));
        QVERIFY(!whole);
        QVERIFY2(handshakeFailed(whole.error()), qPrintable(whole.error().fullDescription()));

        const auto completion = waitForTask(
                postCompleteMultipartUpload(QUrl(objectUrl + "?uploadId=1"), completionDocument({{1, "\"e\""}}),
                                            storage));
        QVERIFY(!completion);
        QVERIFY2(handshakeFailed(completion.error()), qPrintable(completion.error().fullDescription()));

        // Neither the key nor anything else went over the unverified connections.
        QCOMPARE(server.handshakes(), 0);
        QVERIFY(server.received().isEmpty());
        // Closed while the application is still there: Qt's TLS sockets want it when they close.
        HttpClient::manager().clearConnectionCache();
    }
};

int main(int argc, char **argv)
{
    // A fresh home for the app, and a scratch folder beside it for the test's own files.
    QTemporaryDir home;
    QTemporaryDir scratch;
    if (!home.isValid() || !scratch.isValid())
        return 1;
    const QByteArray homePath = QFile::encodeName(home.path());
    qputenv("HOME", homePath);
    qputenv("XDG_CONFIG_HOME", homePath + "/.config");
    qputenv("XDG_CACHE_HOME", homePath + "/.cache");
    qputenv("XDG_DATA_HOME", homePath + "/.local/share");
    qputenv("XDG_STATE_HOME", homePath + "/.local/state");
    qputenv("XDG_RUNTIME_DIR", homePath + "/runtime");
    qputenv("TMPDIR", homePath + "/tmp");
    QDir().mkpath(home.path() + "/runtime");
    QDir().mkpath(home.path() + "/tmp");
    QFile::setPermissions(home.path() + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCoreApplication application(argc, argv);
    SecretsTest test(home.path(), scratch.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_secrets.moc"
