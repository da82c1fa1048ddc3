#include "APIService.h"
#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "DevService.h"
#include "FileUploaderState.h"
#include "HttpClient.h"
#include "ServiceFixtures.h"
#include "SessionManager.h"
#include "StorageClient.h"
#include "TaskWaiter.h"
#include "WorkflowRun.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
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

// While it lives, whatever the process writes to its standard output or error (diagnostics,
// Qt's own messages, a library's complaints) lands in the file instead.
class ProcessOutputCapture
{
public:
    explicit ProcessOutputCapture(const QString &path)
        : m_path(path)
    {
        std::fflush(nullptr);
        const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (const int stream : streams) {
            m_saved.append(::dup(stream));
            ::dup2(file, stream);
        }
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
    static constexpr int streams[] = {STDOUT_FILENO, STDERR_FILENO};

    void restore()
    {
        std::fflush(nullptr);
        for (qsizetype i = 0; i < m_saved.size(); ++i) {
            ::dup2(m_saved[i], streams[i]);
            ::close(m_saved[i]);
        }
        m_saved.clear();
    }

    QString m_path;
    QList<int> m_saved;
};

// In any of the forms a key could take on its way into a text or a file.
bool holdsKey(const QByteArray &bytes)
{
    for (const QString &key : {acceptedKey, rejectedKey}) {
        const QByteArray utf16(reinterpret_cast<const char *>(key.utf16()), key.size() * 2);
        for (const QByteArray &form : {key.toUtf8(), key.toUtf8().toBase64(), QUrl::toPercentEncoding(key), utf16}) {
            if (bytes.contains(form))
                return true;
        }
    }
    return false;
}

// An HTTPS server on 127.0.0.1 whose certificate nobody signed. It answers every request with a
// valid workspace, so a client that let the certificate error pass would succeed. (QSslServer
// arrives only with Qt 6.5.)
class UnsignedServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;
    // What arrived through a completed handshake, and how many completed.
    QByteArray received;
    int handshakes = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        connect(socket, &QSslSocket::encrypted, this, [this] { ++handshakes; });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] {
            received += socket->readAll();
            const QByteArray body = ServiceFixtures::workspaceJson();
            if (received.contains("\r\n\r\n"))
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::errorOccurred, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }
};
}

// The API key is the one secret the app holds: it is kept in a preferences file only its owner
// may read, it never shows in the output, the log or any other file, and it never goes to a
// server whose certificate does not check out.
class SecretsTest : public QObject
{
    Q_OBJECT

    // A fresh home: everything the app writes lands there. The test's own files go beside it.
    QTemporaryDir homeFolder;
    QTemporaryDir scratchFolder;
    const QString home = homeFolder.path();
    const QString scratch = scratchFolder.path();
    DevService stack;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(homeFolder.isValid() && scratchFolder.isValid());
        const QByteArray homePath = QFile::encodeName(home);
        for (const auto &[variable, folder] : {std::pair{"HOME", ""}, {"XDG_CONFIG_HOME", "/.config"},
                                               {"XDG_CACHE_HOME", "/.cache"}, {"XDG_DATA_HOME", "/.local/share"},
                                               {"XDG_STATE_HOME", "/.local/state"}, {"XDG_RUNTIME_DIR", "/runtime"},
                                               {"TMPDIR", "/tmp"}})
            qputenv(variable, homePath + folder);
        const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QVERIFY(QDir().mkdir(home + "/runtime", ownerOnly) && QDir().mkdir(home + "/tmp", ownerOnly));
        QVERIFY2(stack.start({"--chunk-size", "262144", "--min-part-size", "0", "--api-key", acceptedKey}),
                 qPrintable(stack.failure()));
        AsyncSleep::setTimeScale(0.001);
    }

    void thePreferencesFileIsReadableByItsOwnerAlone()
    {
        const QString path = ApiKeyPreference::filePath();
        QVERIFY2(path.startsWith(home), qPrintable(path));
        // An older file that others could read is closed to them as soon as a key goes in.
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, "[General]\n"));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        const mode_t previousMask = ::umask(0022);
        SessionManager session{APIService(stack.apiUrl())};
        session.setStoredApiKey(acceptedKey);
        ::umask(previousMask);

        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(ApiKeyPreference::read(), acceptedKey);
        session.setStoredApiKey(QString());
    }

    void theKeyNeverShowsOutsideThePreferences()
    {
        const QString videoPath = scratch + QStringLiteral("/secret run.mov");
        QVERIFY(writeFile(videoPath, sampleBytes(videoPath, 2 * 262144 + 99)));
        bool onlyTheAcceptedKeySignedIn = false;
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
            onlyTheAcceptedKeySignedIn = !session.hasApiKey();
            session.setApiKey(acceptedKey);
            session.setStoredApiKey(acceptedKey);
            QCoro::waitFor(session.fetchWorkspaceData());
            onlyTheAcceptedKeySignedIn = onlyTheAcceptedKeySignedIn && session.hasWorkspace();

            FileUploaderState state{APIService(stack.apiUrl())};
            state.setSessionManager(&session);
            pickVideo(state, QUrl::fromLocalFile(videoPath));
            startAndFinish(state);
            status = state.statusMessage();
            logs = state.logs();
            output = capture.finish();
        }
        QVERIFY(onlyTheAcceptedKeySignedIn);
        QCOMPARE(status, "Upload completed!");
        // The capture did catch the run's diagnostics.
        QVERIFY2(output.contains("✅ Finalization successful!"), output.constData());

        QVERIFY2(!holdsKey(output), output.constData());
        // The presigned URLs are listed, but a signature in them would let a reader write to storage.
        const QString printed = QString::fromUtf8(output);
        QVERIFY(printed.contains("Presigned chunk urls\n[1: http") && printed.contains("X-Amz-Signature=…"));
        const QRegularExpression signature("[?&](X-Amz-Signature|Signature|sig)=(?!…)",
                                           QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(!printed.contains(signature), output.constData());
        QVERIFY2(!holdsKey(logs.toUtf8()), qPrintable(logs));
        for (const QJsonValue request : stack.storageRequests())
            QVERIFY2(!holdsKey(request["path"].toString().toUtf8()), qPrintable(request["path"].toString()));
        QDirIterator files(home, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QVERIFY2(holdsKey(file.readAll()) == (file.fileName() == ApiKeyPreference::filePath()),
                     qPrintable(file.fileName()));
        }
    }

    void certificateErrorsAreNeverIgnored()
    {
        const QString keyPath = scratch + QStringLiteral("/key.pem");
        const QString certificatePath = scratch + QStringLiteral("/certificate.pem");
        QCOMPARE(QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                               "-nodes", "-keyout", keyPath, "-out", certificatePath, "-days", "1",
                                               "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}),
                 0);
        QFile keyFile(keyPath);
        QFile certificateFile(certificatePath);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certificateFile.open(QIODevice::ReadOnly));
        UnsignedServer server;
        server.key = QSslKey(&keyFile, QSsl::Ec);
        server.certificate = QSslCertificate(&certificateFile);
        QVERIFY(!server.key.isNull() && !server.certificate.isNull() && server.listen(QHostAddress::LocalHost));
        const QString origin = QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort());

        const auto workspace = waitForTask(APIService(origin + "/api").pullStartupInformation(acceptedKey));
        QVERIFY(!workspace);
        QCOMPARE(workspace.error().code(), qint64(QNetworkReply::SslHandshakeFailedError));
        // Storage requests go through libcurl instead.
        StorageRequest part;
        part.method = "PUT";
        part.url = QUrl(origin + "/bucket/object?partNumber=1");
        part.body = RequestBody::fromBytes("part bytes");
        StorageClient storage;
        const auto stored = waitForTask(storage.send(std::move(part), nullptr));
        QVERIFY(!stored);
        QCOMPARE(stored.error().code(), qint64(QNetworkReply::SslHandshakeFailedError));

        // Neither the key nor anything else went over the unverified connections.
        QCOMPARE(server.handshakes, 0);
        QVERIFY(server.received.isEmpty());
        // Closed while the application is still there: Qt's TLS sockets want it when they close.
        HttpClient::manager().clearConnectionCache();
    }
};

QTEST_GUILESS_MAIN(SecretsTest)
#include "tst_secrets.moc"
