#include "PartUpload.h"
#include "TransferTestSupport.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(Error)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<Error>)

namespace {
constexpr qint64 halfSecond = 500'000'000;
constexpr qint64 oneSecond = 1'000'000'000;
const QByteArray partTarget = "/bucket/movie.mov?partNumber=4&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd";
const Error noETag = Error::upload(1, "Failed to retrieve the ETag from response headers.");

qsizetype countHeaders(const RecordedRequest &request, QByteArrayView name)
{
    return std::count_if(request.headers.begin(), request.headers.end(),
                         [name](const auto &header) { return name.compare(header.first, Qt::CaseInsensitive) == 0; });
}

ScriptedResponse redirect()
{
    ScriptedResponse response = answer(307);
    response.headers = {{"Location", "/elsewhere"}, {"ETag", "\"moved\""}};
    return response;
}
}

class PartUploadTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<StorageClient> storage;

    QString partUrl() const { return server->url(QString::fromLatin1(partTarget)).toString(QUrl::FullyEncoded); }

    std::optional<Result<CompletedPart>> upload(RequestBody data, qint64 &uploadedBytes, qint64 totalBytes,
                                                MessageLog &messages, const Diagnostics::Capture &output,
                                                CancellationToken *cancellation = nullptr)
    {
        return finishWithin(uploadPartWithRetry(std::move(data), 4, partUrl(), 3, uploadedBytes, totalBytes,
                                                messages.callback(output), *storage, cancellation));
    }

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
    // 1 s; the third failure is the answer.
    void attempts_data()
    {
        QTest::addColumn<QList<ScriptedResponse>>("answers");
        QTest::addColumn<QStringList>("failures"); // descriptions of the failed attempts
        QTest::addColumn<std::optional<Error>>("error"); // none: stored with ETag "e"
        const ScriptedResponse stored = ScriptedResponse::withETag("\"e\"");
        QTest::newRow("503, then stored") << QList{answer(503), stored} << QStringList{"HTTP 503"}
                                          << std::optional<Error>();
        QTest::newRow("redirect is a refusal") << QList{redirect(), stored} << QStringList{"HTTP 307"}
                                               << std::optional<Error>();
        QTest::newRow("no ETag, ETag not text, then stored")
                << QList{answer(200), ScriptedResponse::withETag("\xc3\x28"), stored}
                << QStringList{noETag.description(), noETag.description()} << std::optional<Error>();
        QTest::newRow("403 three times") << QList{answer(403), answer(403), answer(403)}
                                         << QStringList{"HTTP 403", "HTTP 403", "HTTP 403"}
                                         << std::optional<Error>(Error::upload(403, "HTTP 403"));
        QTest::newRow("stalled, then stored") << QList{ScriptedResponse::stall(), stored}
                                              << QStringList{"The request timed out."} << std::optional<Error>();
    }

    void attempts()
    {
        QFETCH(QList<ScriptedResponse>, answers);
        QFETCH(QStringList, failures);
        QFETCH(std::optional<Error>, error);
        for (const ScriptedResponse &response : answers)
            server->enqueue(response);
        StallWindow stall(1s);
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 5;

        const auto part = upload(RequestBody::fromBytes("0123456789"), uploadedBytes, 20, messages, output);

        QVERIFY(part);
        QStringList lines;
        for (qsizetype attempt = 0; attempt < failures.size(); ++attempt)
            lines << QStringLiteral("⚠️ Upload attempt %1 failed for part 4: ").arg(attempt + 1) + failures[attempt];
        const QList<qint64> allWaits{halfSecond, oneSecond};
        if (error) {
            QCOMPARE(part->error(), *error);
            QCOMPARE(part->error().description(), error->description());
            QCOMPARE(uploadedBytes, 5);
            QVERIFY(messages.texts.isEmpty());
            QCOMPARE(sleeps.requested, allWaits);
        } else {
            QCOMPARE(part->value(), (CompletedPart{4, "\"e\""}));
            lines << "📋 Part 4 ETag: \"e\""
                  << QStringLiteral("✅ Upload succeeded on retry %1 for part 4").arg(failures.size() + 1);
            QCOMPARE(uploadedBytes, 15);
            QCOMPARE(messages.texts, QStringList{"Uploaded (75%)"});
            QCOMPARE(messages.linesBefore, QList<qsizetype>{failures.size() + 1});
            QCOMPARE(sleeps.requested, allWaits.first(failures.size()));
        }
        QCOMPARE(output.lines(), lines);
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), answers.size());
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "PUT");
            QCOMPARE(request.target, partTarget);
            QCOMPARE(request.body, "0123456789");
            QCOMPARE(request.header("Content-Type"), "application/octet-stream");
            QCOMPARE(request.header("Content-Length"), "10");
            QCOMPARE(countHeaders(request, "Content-Length"), 1);
            QCOMPARE(countHeaders(request, "Expect"), 0);
        }
    }

    // Parts of a slow link: bytes keep moving for longer than the stall window, so nothing
    // times out.
    void slowLinkStillStoresThePart()
    {
        server->enqueue(ScriptedResponse::readingSlowly(4096, ScriptedResponse::withETag("slow")));
        StallWindow stall(1s);
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 0;
        const QByteArray body = patterned(12 * 1024);

        const auto part = upload(RequestBody::fromBytes(body), uploadedBytes, body.size(), messages, output);

        QVERIFY(part && *part);
        QCOMPARE(output.lines(), QStringList{"📋 Part 4 ETag: slow"});
        QVERIFY(server->requests().value(0).body == body);
    }

    // A body read from a file goes again whole after the connection dropped halfway through.
    void fileBodyIsResentWholeAfterADroppedConnection()
    {
        QTemporaryDir dir;
        const QByteArray contents = patterned(3 * 1024 * 1024 + 12345);
        auto file = std::make_shared<QFile>(writeFile(dir, "movie.mov", "header" + contents));
        QVERIFY(file->open(QIODevice::ReadOnly));
        server->enqueue(ScriptedResponse::closeAfterRequestBodyBytes(contents.size() / 2));
        server->enqueue(ScriptedResponse::withETag("whole"));
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        const auto part = finishWithin(uploadSinglePartWithRetry(RequestBody::fromFile(file, 6, contents.size()), 1,
                                                                 partUrl(), 3, 2 * contents.size(),
                                                                 messages.callback(output), *storage));

        QVERIFY(part && *part);
        QCOMPARE(part->value(), (CompletedPart{1, "whole"}));
        QCOMPARE(messages.texts, QStringList{"Uploaded (50%)"});
        QVERIFY(output.lines().value(0).startsWith("⚠️ Upload attempt 1 failed for part 1: "));
        const RecordedRequest last = server->requests().last();
        QCOMPARE(last.header("Content-Length"), QByteArray::number(contents.size()));
        QVERIFY(last.body == contents);
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
        Diagnostics::Capture output;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(uploadPartWithRetry(RequestBody::fromBytes("x"), 1, url, 3, uploadedBytes, 1,
                                                           [](const QString &) {}, *storage));

        QVERIFY(part && !*part);
        QCOMPARE(part->error(), Error::badUrl(url));
        QVERIFY(output.lines().isEmpty());
        QVERIFY(sleeps.requested.isEmpty());
        QCOMPARE(server->connectionCount(), 0);
    }

    void eTagHeaderIsFoundInAnyLetterCase_data()
    {
        QTest::addColumn<QList<HttpResponse::Header>>("headers");
        QTest::addColumn<std::optional<QString>>("expected");
        using Headers = QList<HttpResponse::Header>;
        QTest::newRow("canonical") << Headers{{"Content-Length", "0"}, {"ETag", "\"a\""}} << std::optional<QString>("\"a\"");
        QTest::newRow("lower case") << Headers{{"etag", "b"}} << std::optional<QString>("b");
        QTest::newRow("upper case") << Headers{{"ETAG", "W/\"c\""}} << std::optional<QString>("W/\"c\"");
        QTest::newRow("first of two") << Headers{{"eTaG", "d"}, {"ETag", "e"}} << std::optional<QString>("d");
        QTest::newRow("lookalike names") << Headers{{"ETag-X", "f"}, {"X-ETag", "g"}} << std::optional<QString>();
        QTest::newRow("not UTF-8") << Headers{{"ETag", "\xc3\x28"}} << std::optional<QString>();
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
        QTest::newRow("rounds up") << qint64(2) << qint64(3) << "Uploaded (67%)";
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

    // The cancellation ends the request in flight, even halfway through its body; the waits
    // then end at once and every further attempt fails without a request.
    void cancellation_data()
    {
        QTest::addColumn<bool>("whileWaiting");
        QTest::addColumn<QString>("firstFailure");
        QTest::newRow("halfway through the body") << false << "Operation canceled";
        QTest::newRow("waiting between attempts") << true << "HTTP 503";
    }

    void cancellation()
    {
        QFETCH(bool, whileWaiting);
        QFETCH(QString, firstFailure);
        CancellationToken token;
        // Waits this long would outlast the fallback unless the cancellation ends them.
        SleepRecorder sleeps(1000.0);
        int heads = 0;
        server->setHandler([&](const RecordedRequest &) {
            ++heads;
            if (whileWaiting)
                return answer(503);
            cancelSoon(token);
            return ScriptedResponse::readingSlowly(1024, ScriptedResponse::withETag("late"));
        });
        if (whileWaiting)
            sleeps.onWait = [&] { cancelSoon(token); };
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 0;

        const auto part = upload(RequestBody::fromBytes(patterned(4 * 1024 * 1024)), uploadedBytes, 10, messages,
                                 output, &token);

        QVERIFY2(part, "the cancellation did not end the part upload");
        QVERIFY(part->error().isCancellation());
        QCOMPARE(output.lines(), (QStringList{"⚠️ Upload attempt 1 failed for part 4: " + firstFailure,
                                              "⚠️ Upload attempt 2 failed for part 4: Operation canceled",
                                              "⚠️ Upload attempt 3 failed for part 4: Operation canceled"}));
        QCOMPARE(sleeps.requested, (QList<qint64>{halfSecond, oneSecond}));
        QCOMPARE(heads, 1);
        QVERIFY(messages.texts.isEmpty());
    }
};

QTEST_GUILESS_MAIN(PartUploadTest)
#include "tst_partupload.moc"
