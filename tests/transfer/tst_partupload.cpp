#include "CancellationToken.h"
#include "Diagnostics.h"
#include "PartUpload.h"
#include "PresignedUrlExpiry.h"
#include "StorageFailure.h"
#include "TransferTestSupport.h"

#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(Error)

namespace {
constexpr qint64 halfSecond = 500'000'000;
constexpr qint64 oneSecond = 1'000'000'000;
const QByteArray partTarget = "/bucket/movie.mov?partNumber=4&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd";
const QString noETag = QStringLiteral("Failed to retrieve the ETag from response headers.");

qsizetype countHeaders(const RecordedRequest &request, QByteArrayView name)
{
    return std::count_if(request.headers.begin(), request.headers.end(),
                         [name](const auto &header) { return name.compare(header.first, Qt::CaseInsensitive) == 0; });
}
}

class PartUploadTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<StorageClient> storage;

    std::optional<Result<CompletedPart>> upload(const QString &url, const QByteArray &body, qint64 &uploadedBytes,
                                                MessageLog &messages, CancellationToken *cancellation = nullptr)
    {
        return finishWithin(uploadPartWithRetry(RequestBody::fromBytes(body), 4, url, 3, uploadedBytes,
                                                4 * body.size(), messages.callback(), *storage, cancellation));
    }

    QString partUrl() const { return server->url(QString::fromLatin1(partTarget)).toString(QUrl::FullyEncoded); }

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        storage = std::make_unique<StorageClient>();
    }

    void cleanup()
    {
        storage.reset();
        delete server;
        server = nullptr;
    }

    // Every answer that does not store the part costs one attempt, after waits of 0.5 s and
    // 1 s; the third failure is the answer. A link slower than the stall window is no stall.
    void attempts_data()
    {
        QTest::addColumn<QList<ScriptedResponse>>("answers");
        QTest::addColumn<QStringList>("failures"); // as many as answers: the part is not stored
        const ScriptedResponse stored = ScriptedResponse::withETag("\"e\"");
        ScriptedResponse redirect = answer(307);
        redirect.headers = {{"Location", "/elsewhere"}, {"ETag", "\"moved\""}};
        QTest::newRow("slow link") << QList{ScriptedResponse::readingSlowly(4096, stored)} << QStringList();
        QTest::newRow("redirect, no ETag, then stored")
                << QList{redirect, answer(200), stored} << QStringList{"HTTP 307", noETag};
        QTest::newRow("ETag not text, stalled, then stored")
                << QList{ScriptedResponse::withETag("\xc3\x28"), ScriptedResponse::stall(), stored}
                << QStringList{noETag, "The request timed out."};
        QTest::newRow("403 three times") << QList{answer(403), answer(403), answer(403)}
                                         << QStringList{"HTTP 403", "HTTP 403", "HTTP 403"};
    }

    void attempts()
    {
        QFETCH(QList<ScriptedResponse>, answers);
        QFETCH(QStringList, failures);
        for (const ScriptedResponse &response : answers)
            server->enqueue(response);
        StallWindow stall(1s);
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        const QByteArray body = patterned(12 * 1024);
        qint64 uploadedBytes = body.size();

        const auto part = upload(partUrl(), body, uploadedBytes, messages);

        QStringList lines;
        for (qsizetype attempt = 0; attempt < failures.size(); ++attempt)
            lines << QStringLiteral("⚠️ Upload attempt %1 failed for part 4: ").arg(attempt + 1) + failures[attempt];
        const bool stored = failures.size() < answers.size();
        QVERIFY(part && bool(*part) == stored);
        if (stored) {
            QCOMPARE(part->value(), (CompletedPart{4, "\"e\""}));
            lines << "📋 Part 4 ETag: \"e\"";
            if (!failures.isEmpty())
                lines << QStringLiteral("✅ Upload succeeded on retry %1 for part 4").arg(failures.size() + 1);
        } else {
            QCOMPARE(part->error(), Error::upload(403, "HTTP 403"));
        }
        QCOMPARE(output.lines(), lines);
        QCOMPARE(uploadedBytes, (stored ? 2 : 1) * body.size());
        QCOMPARE(messages.texts, stored ? QStringList{"Uploaded (50%)"} : QStringList());
        const QList<qint64> allWaits{halfSecond, oneSecond};
        QCOMPARE(sleeps.requested, stored ? allWaits.first(failures.size()) : allWaits);
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), answers.size());
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "PUT");
            QCOMPARE(request.target, partTarget);
            QVERIFY(request.body == body);
            QCOMPARE(request.header("Content-Type"), "application/octet-stream");
            QCOMPARE(request.header("Content-Length"), QByteArray::number(body.size()));
            QCOMPARE(countHeaders(request, "Content-Length"), 1);
            QCOMPARE(countHeaders(request, "Expect"), 0);
        }
    }

    void unusableUrlFailsWithoutAnAttempt_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("space in host") << "http://exa mple.test/part";
        QTest::newRow("local file") << "file:///tmp/part";
        QTest::newRow("no host") << "https:///part";
    }

    void unusableUrlFailsWithoutAnAttempt()
    {
        QFETCH(QString, url);
        SleepRecorder sleeps;
        MessageLog messages;
        qint64 uploadedBytes = 0;

        const auto part = upload(url, "x", uploadedBytes, messages);

        QVERIFY(part && !*part);
        QCOMPARE(part->error(), Error::badUrl(url));
        QVERIFY(sleeps.requested.isEmpty());
        QCOMPARE(server->connectionCount(), 0);
    }

    void eTagHeaderIsFoundInAnyLetterCase_data()
    {
        QTest::addColumn<QList<HttpResponse::Header>>("headers");
        QTest::addColumn<std::optional<QString>>("expected");
        using Headers = QList<HttpResponse::Header>;
        QTest::newRow("lower case") << Headers{{"Content-Length", "0"}, {"etag", "b"}} << std::optional<QString>("b");
        QTest::newRow("upper case, weak") << Headers{{"ETAG", "W/\"c\""}} << std::optional<QString>("W/\"c\"");
        QTest::newRow("first of two") << Headers{{"eTaG", "d"}, {"ETag", "e"}} << std::optional<QString>("d");
        QTest::newRow("lookalike names") << Headers{{"ETag-X", "f"}, {"X-ETag", "g"}} << std::optional<QString>();
    }

    void eTagHeaderIsFoundInAnyLetterCase()
    {
        QFETCH(QList<HttpResponse::Header>, headers);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(findETagHeader(headers), expected);
    }

    void progressTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("totalBytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("half rounds up") << qint64(1) << qint64(8) << "Uploaded (13%)";
        QTest::newRow("large file") << qint64(5'000'000'000) << qint64(10'000'000'000) << "Uploaded (50%)";
        QTest::newRow("empty or unsized file") << qint64(7) << qint64(0) << "Uploaded (100%)";
    }

    void progressTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, totalBytes);
        QFETCH(QString, text);
        QStringList delivered;
        reportUploadProgress(bytes, totalBytes, [&](const QString &message) { delivered.append(message); });
        QCOMPARE(delivered, QStringList{text});
    }

    // Which failures are waited out, and the plain words the user reads for each.
    void storageFailures_data()
    {
        QTest::addColumn<Error>("failure");
        QTest::addColumn<int>("outage"); // an OutageKind, or -1 when waiting cannot help
        QTest::addColumn<QString>("words");
        const int network = int(OutageKind::Network);
        const int storage = int(OutageKind::Storage);
        const auto answered = [](int status) { return Error::upload(status, "HTTP").withHttpStatus(status); };
        const auto transport = [](QNetworkReply::NetworkError code) { return Error::network(code, "curl's words"); };
        QTest::newRow("refused") << transport(QNetworkReply::ConnectionRefusedError) << network
                                 << "could not connect to storage";
        QTest::newRow("name lookup") << transport(QNetworkReply::HostNotFoundError) << network
                                     << "could not look up storage's address";
        QTest::newRow("reset") << transport(QNetworkReply::RemoteHostClosedError) << network
                               << "the connection to storage was lost";
        QTest::newRow("stall") << Error::timedOut() << network << "storage did not answer in time";
        QTest::newRow("proxy gone") << transport(QNetworkReply::ProxyNotFoundError) << network
                                    << "could not reach storage through the proxy";
        for (const int status : {408, 429, 500, 502, 503, 504})
            QTest::addRow("%d", status) << answered(status) << storage
                                        << QStringLiteral("storage answered %1").arg(status);
        for (const int status : {400, 403, 404, 501})
            QTest::addRow("%d", status) << answered(status) << -1 << QStringLiteral("storage answered %1").arg(status);
        QTest::newRow("certificate") << transport(QNetworkReply::SslHandshakeFailedError) << -1
                                     << "could not set up a secure connection to storage";
        QTest::newRow("cancelled") << Error::cancelled() << -1 << "the upload was cancelled";
        QTest::newRow("no ETag") << Error::upload(1, noETag) << -1 << noETag;
        QTest::newRow("file shrank") << RequestBody::shortFileError() << -1
                                     << RequestBody::shortFileError().description();
    }

    void storageFailures()
    {
        QFETCH(Error, failure);
        QFETCH(int, outage);
        QFETCH(QString, words);
        const std::optional<OutageKind> kind = outageKind(failure);
        QCOMPARE(kind ? int(*kind) : -1, outage);
        QCOMPARE(timeCanHeal(failure), outage != -1);
        QCOMPARE(describeStorageFailure(failure), words);
    }

    void presignedUrlExpiry_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QDateTime>("expiry"); // invalid: none
        const auto utc = [](int y, int mo, int d, int h) { return QDateTime(QDate(y, mo, d), QTime(h, 0), Qt::UTC); };
        QTest::newRow("six hours") << "X-Amz-Date=20240301T120000Z&X-Amz-Expires=21600" << utc(2024, 3, 1, 18);
        QTest::newRow("into a leap day") << "X-Amz-Expires=7200&X-Amz-Date=20240228T230000Z" << utc(2024, 2, 29, 1);
        QTest::newRow("no lifetime") << "X-Amz-Date=20240301T120000Z" << QDateTime();
        QTest::newRow("no date") << "X-Amz-Expires=600" << QDateTime();
        QTest::newRow("extended date") << "X-Amz-Date=2024-03-01T12:00:00Z&X-Amz-Expires=600" << QDateTime();
        QTest::newRow("month 13") << "X-Amz-Date=20241301T120000Z&X-Amz-Expires=600" << QDateTime();
        QTest::newRow("negative lifetime") << "X-Amz-Date=20240301T120000Z&X-Amz-Expires=-600" << QDateTime();
    }

    void presignedUrlExpiry()
    {
        QFETCH(QString, query);
        QFETCH(QDateTime, expiry);
        const QUrl url("https://storage.test/bucket/movie.mov?partNumber=1&" + query);
        QCOMPARE(::presignedUrlExpiry(url).value_or(QDateTime()), expiry);
    }

    // The cancellation ends the request in flight halfway through its body; the waits then
    // end at once and every further attempt fails without a request.
    void cancellationEndsTheBodyInFlight()
    {
        CancellationToken token;
        // Waits this long would outlast the fallback unless the cancellation ends them.
        SleepRecorder sleeps(1000.0);
        int heads = 0;
        server->setHandler([&](const RecordedRequest &) {
            ++heads;
            QTimer::singleShot(0, &token, &CancellationToken::cancel);
            return ScriptedResponse::readingSlowly(1024, ScriptedResponse::withETag("late"));
        });
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 0;

        const auto part = upload(partUrl(), patterned(4 * 1024 * 1024), uploadedBytes, messages, &token);

        QVERIFY2(part, "the cancellation did not end the part upload");
        QVERIFY(part->error().isCancellation());
        QCOMPARE(output.lines(), (QStringList{"⚠️ Upload attempt 1 failed for part 4: Operation canceled",
                                              "⚠️ Upload attempt 2 failed for part 4: Operation canceled",
                                              "⚠️ Upload attempt 3 failed for part 4: Operation canceled"}));
        QCOMPARE(sleeps.requested, (QList<qint64>{halfSecond, oneSecond}));
        QCOMPARE(heads, 1);
        QVERIFY(messages.texts.isEmpty());
    }
};

QTEST_GUILESS_MAIN(PartUploadTest)
#include "tst_partupload.moc"
