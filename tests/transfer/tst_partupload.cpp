#include "FileStreamDevice.h"
#include "HttpClient.h"
#include "PartUpload.h"
#include "TransferTestSupport.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(Error)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {
constexpr qint64 halfSecond = 500'000'000;
constexpr qint64 oneSecond = 1'000'000'000;

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
    QString partUrl;

    QCoro::Task<Result<CompletedPart>> upload(const QByteArray &data, qint64 &uploadedBytes, qint64 totalBytes,
                                              std::function<void(const QString &)> onMessage,
                                              CancellationToken *cancellation = nullptr, qint64 maxRetries = 3)
    {
        return uploadPartWithRetry(data, 4, partUrl, maxRetries, uploadedBytes, totalBytes, std::move(onMessage),
                                   cancellation);
    }

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        partUrl = server->url("/bucket/movie.mov?partNumber=4&uploadId=u%2B1").toString(QUrl::FullyEncoded);
        HttpClient::setTransferTimeout(fallbackTimeout);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void secondAttemptSucceedsAfterHalfASecond()
    {
        server->enqueue(answer(503));
        server->enqueue(ScriptedResponse::withETag("\"etag-4\""));
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 5;

        const auto part = finishWithin(upload("0123456789", uploadedBytes, 20, messages.callback(output)));

        QVERIFY(part && *part);
        QCOMPARE(part->value(), (CompletedPart{4, "\"etag-4\""}));
        QCOMPARE(uploadedBytes, 15);
        QCOMPARE(output.lines(), (QStringList{"⚠️ Upload attempt 1 failed for part 4: HTTP 503",
                                              "📋 Part 4 ETag: \"etag-4\"",
                                              "✅ Upload succeeded on retry 2 for part 4"}));
        QCOMPARE(messages.texts, QStringList{"Uploaded (75%)"});
        QCOMPARE(messages.linesBefore, QList<qsizetype>{2});
        QCOMPARE(sleeps.requested, QList<qint64>{halfSecond});

        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 2);
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "PUT");
            QCOMPARE(request.target, "/bucket/movie.mov?partNumber=4&uploadId=u%2B1");
            QCOMPARE(request.body, "0123456789");
            QCOMPARE(request.header("Content-Type"), "application/octet-stream");
            QCOMPARE(request.header("Content-Length"), "10");
            QCOMPARE(countHeaders(request, "Content-Length"), 1);
        }
        QCOMPARE(server->connectionCount(), 1);
    }

    void threeRefusalsAnswerTheLastError()
    {
        server->setDefaultResponse(answer(403));
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(upload("abc", uploadedBytes, 3, messages.callback(output)));

        QVERIFY(part && !*part);
        QCOMPARE(part->error(), Error::upload(403, "HTTP 403"));
        QCOMPARE(part->error().description(), "HTTP 403");
        QCOMPARE(output.lines(), (QStringList{"⚠️ Upload attempt 1 failed for part 4: HTTP 403",
                                              "⚠️ Upload attempt 2 failed for part 4: HTTP 403",
                                              "⚠️ Upload attempt 3 failed for part 4: HTTP 403"}));
        QCOMPARE(sleeps.requested, (QList<qint64>{halfSecond, oneSecond}));
        QCOMPARE(server->requests().size(), 3);
        QCOMPARE(uploadedBytes, 0);
        QVERIFY(messages.texts.isEmpty());
    }

    void unusableAnswersFailTheAttempt_data()
    {
        QTest::addColumn<ScriptedResponse>("reply");
        QTest::addColumn<Error>("expected");
        ScriptedResponse invalidUtf8 = ScriptedResponse::withETag("\xff\xfe");
        QTest::newRow("200 without ETag")
                << answer(200) << Error::upload(1, "Failed to retrieve the ETag from response headers.");
        QTest::newRow("ETag not text")
                << invalidUtf8 << Error::upload(1, "Failed to retrieve the ETag from response headers.");
        QTest::newRow("not found") << answer(404) << Error::upload(404, "HTTP 404");
    }

    void unusableAnswersFailTheAttempt()
    {
        QFETCH(ScriptedResponse, reply);
        QFETCH(Error, expected);
        server->enqueue(reply);
        Diagnostics::Capture output;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(upload("x", uploadedBytes, 1, [](const QString &) {}, nullptr, 1));

        QVERIFY(part && !*part);
        QCOMPARE(part->error(), expected);
        QCOMPARE(part->error().description(), expected.description());
        QCOMPARE(output.lines(), QStringList{"⚠️ Upload attempt 1 failed for part 4: " + expected.description()});
    }

    // Each failure reaches the store's side first; the flag lets only the retry through, however
    // often the network layer silently resends on its own.
    void failedAttemptIsRetried_data()
    {
        QTest::addColumn<ScriptedResponse>("failure");
        QTest::addColumn<int>("transferTimeoutMs");
        QTest::addColumn<QString>("description");
        QTest::newRow("200 without ETag")
                << answer(200) << 10'000 << "Failed to retrieve the ETag from response headers.";
        QTest::newRow("transport time-out") << ScriptedResponse::stall() << 250 << "The request timed out.";
        QTest::newRow("connection dropped mid-body")
                << ScriptedResponse::closeAfterRequestBodyBytes(4) << 10'000 << QString();
    }

    void failedAttemptIsRetried()
    {
        QFETCH(ScriptedResponse, failure);
        QFETCH(int, transferTimeoutMs);
        QFETCH(QString, description);
        HttpClient::setTransferTimeout(std::chrono::milliseconds(transferTimeoutMs));
        SleepRecorder sleeps;
        server->setHandler([&](const RecordedRequest &) {
            return sleeps.requested.isEmpty() ? failure : ScriptedResponse::withETag("e");
        });
        Diagnostics::Capture output;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(upload("0123456789", uploadedBytes, 10, [](const QString &) {}));

        QVERIFY(part && *part);
        const QStringList lines = output.lines();
        QCOMPARE(lines.size(), 3);
        const QString failedLine = "⚠️ Upload attempt 1 failed for part 4: ";
        QVERIFY2(lines[0].startsWith(failedLine) && lines[0].size() > failedLine.size(), qPrintable(lines[0]));
        if (!description.isEmpty())
            QCOMPARE(lines[0], failedLine + description);
        QCOMPARE(lines.mid(1), (QStringList{"📋 Part 4 ETag: e", "✅ Upload succeeded on retry 2 for part 4"}));
        QCOMPARE(sleeps.requested, QList<qint64>{halfSecond});
        QCOMPARE(server->requests().last().body, "0123456789");
        if (failure.behavior == ScriptedResponse::Behavior::CloseAfterRequestBodyBytes)
            QCOMPARE(server->requests().first().body, "0123");
    }

    void unusableUrlFailsWithoutAnAttempt_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("empty") << QString();
        QTest::newRow("space in host") << "http://exa mple.test/part";
        QTest::newRow("relative") << "bucket/part?partNumber=1";
        QTest::newRow("local file") << "file:///tmp/part";
        QTest::newRow("no host") << "https:///part";
    }

    void unusableUrlFailsWithoutAnAttempt()
    {
        QFETCH(QString, url);
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(
                uploadPartWithRetry("x", 1, url, 3, uploadedBytes, 1, [](const QString &) {}));

        QVERIFY(part && !*part);
        QCOMPARE(part->error(), Error::badUrl(url));
        QVERIFY(output.lines().isEmpty());
        QVERIFY(sleeps.requested.isEmpty());
        QCOMPARE(server->connectionCount(), 0);
    }

    void eTagHeaderIsFoundInAnyLetterCase_data()
    {
        QTest::addColumn<QList<QNetworkReply::RawHeaderPair>>("headers");
        QTest::addColumn<std::optional<QString>>("expected");
        using Headers = QList<QNetworkReply::RawHeaderPair>;
        QTest::newRow("canonical") << Headers{{"Content-Length", "0"}, {"ETag", "\"a\""}} << std::optional<QString>("\"a\"");
        QTest::newRow("lower case") << Headers{{"etag", "b"}} << std::optional<QString>("b");
        QTest::newRow("upper case") << Headers{{"ETAG", "W/\"c\""}} << std::optional<QString>("W/\"c\"");
        QTest::newRow("first of two") << Headers{{"eTaG", "d"}, {"ETag", "e"}} << std::optional<QString>("d");
        QTest::newRow("empty value") << Headers{{"ETag", ""}} << std::optional<QString>("");
        QTest::newRow("lookalike names") << Headers{{"ETag-X", "f"}, {"X-ETag", "g"}} << std::optional<QString>();
        QTest::newRow("none") << Headers{} << std::optional<QString>();
        QTest::newRow("not UTF-8") << Headers{{"ETag", "\xc3\x28"}} << std::optional<QString>();
    }

    void eTagHeaderIsFoundInAnyLetterCase()
    {
        QFETCH(QList<QNetworkReply::RawHeaderPair>, headers);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(findETagHeader(headers), expected);
    }

    void progressTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("totalBytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("half rounds up") << qint64(1) << qint64(8) << "Uploaded (13%)";
        QTest::newRow("rounds down") << qint64(1) << qint64(3) << "Uploaded (33%)";
        QTest::newRow("rounds up") << qint64(2) << qint64(3) << "Uploaded (67%)";
        QTest::newRow("all") << qint64(25) << qint64(25) << "Uploaded (100%)";
        QTest::newRow("large file") << qint64(5'000'000'000) << qint64(10'000'000'000) << "Uploaded (50%)";
        QTest::newRow("empty file") << qint64(0) << qint64(0) << "Uploaded (100%)";
        QTest::newRow("unsized file") << qint64(7) << qint64(0) << "Uploaded (100%)";
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

    // A body streamed from disk is sent whole again after a connection dropped halfway through
    // it, past the blocks the device had already read ahead.
    void singlePartResendsTheWholeStreamedBody()
    {
        QTemporaryDir dir;
        const QByteArray contents = patterned(2 * FileStreamDevice::blockSize + 12345);
        const QString path = writeFile(dir, "movie.mov", contents);
        const auto body = finishWithin(FileStreamDevice::openFile(path));
        QVERIFY(body && *body);
        SleepRecorder sleeps;
        server->setHandler([&](const RecordedRequest &) {
            return sleeps.requested.isEmpty()
                    ? ScriptedResponse::closeAfterRequestBodyBytes(FileStreamDevice::blockSize * 3 / 2)
                    : ScriptedResponse::withETag("whole");
        });
        Diagnostics::Capture output;
        MessageLog messages;

        const auto part = finishWithin(uploadSinglePartWithRetry(body->get(), 1, partUrl, 3, 2 * contents.size(),
                                                                 messages.callback(output)));

        QVERIFY(part && *part);
        QCOMPARE(part->value(), (CompletedPart{1, "whole"}));
        QCOMPARE(messages.texts, QStringList{"Uploaded (50%)"});
        const RecordedRequest last = server->requests().last();
        QCOMPARE(last.header("Content-Length"), QByteArray::number(contents.size()));
        QCOMPARE(last.header("Content-Type"), "application/octet-stream");
        QVERIFY(last.body == contents);
    }

    // The cancellation reaches the request in flight; the waits then end at once and every
    // further attempt fails without a request, so the cancellation error is the answer.
    void cancellation_data()
    {
        QTest::addColumn<bool>("whileWaiting");
        QTest::addColumn<QString>("firstFailure");
        QTest::newRow("part in flight") << false << "Operation canceled";
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
            return ScriptedResponse::stall();
        });
        if (whileWaiting)
            sleeps.onWait = [&] { cancelSoon(token); };
        Diagnostics::Capture output;
        MessageLog messages;
        qint64 uploadedBytes = 0;

        const auto part = finishWithin(upload("0123456789", uploadedBytes, 10, messages.callback(output), &token));

        QVERIFY2(part, "the cancellation did not end the part upload");
        QVERIFY(!*part);
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
