#include "TransferTestSupport.h"
#include "UploadCompletion.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(CompletedPart)
Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(std::optional<StoreError>)

namespace {
constexpr qint64 twoSeconds = 2'000'000'000;

const QString opening = QStringLiteral("<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n");
const QString closing = QStringLiteral("\n</CompleteMultipartUpload>");
const QList<CompletedPart> twoParts{{2, "\"b\""}, {1, "\"a\""}};
const QString twoPartDocument = opening
        + "<Part>\n   <ETag>\"a\"</ETag>\n   <PartNumber>1</PartNumber>\n</Part>"
          "<Part>\n   <ETag>\"b\"</ETag>\n   <PartNumber>2</PartNumber>\n</Part>"
        + closing;
const QByteArray internalError = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Error><Code>InternalError</Code><Message>We encountered an internal error. "
                                 "Please try again.</Message><RequestId>4442587FB7D0A2F9</RequestId></Error>";

ScriptedResponse xmlAnswer(int status, QByteArray body)
{
    ScriptedResponse response = answer(status);
    response.headers = {{"Content-Type", "application/xml"}};
    response.body = std::move(body);
    return response;
}
}

class UploadCompletionTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<StorageClient> storage;
    QUrl completeUrl;

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        storage = std::make_unique<StorageClient>();
        completeUrl = server->url("/bucket/movie.mov?uploadId=u1&X-Amz-Signature=5f%2B3");
    }

    void cleanup()
    {
        storage.reset();
        delete server;
        server = nullptr;
    }

    void documentBytes_data()
    {
        QTest::addColumn<QList<CompletedPart>>("parts");
        QTest::addColumn<QString>("document");
        QTest::newRow("handed in as 2, 1") << twoParts << twoPartDocument;
        QTest::newRow("no part: an empty second line") << QList<CompletedPart>{} << opening + closing;
        QTest::newRow("part 10, ETag not escaped")
                << QList<CompletedPart>{{10, "a&b<c>"}}
                << opening + "<Part>\n   <ETag>a&b<c></ETag>\n   <PartNumber>10</PartNumber>\n</Part>" + closing;
    }

    void documentBytes()
    {
        QFETCH(QList<CompletedPart>, parts);
        QFETCH(QString, document);
        QCOMPARE(completionDocument(parts), document);
    }

    void storeErrorDetection_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<StoreError>>("expected");
        const std::optional<StoreError> none;
        const std::optional<StoreError> internal({"InternalError", "We encountered an internal error. Please try again."});
        QTest::newRow("result") << QByteArray("<?xml version=\"1.0\"?>\n<CompleteMultipartUploadResult>"
                                              "<ETag>\"x-2\"</ETag></CompleteMultipartUploadResult>")
                                << none;
        QTest::newRow("error") << internalError << internal;
        QTest::newRow("after keep-alive whitespace") << QByteArray("\n  \n  ") + internalError << internal;
        QTest::newRow("namespaced") << QByteArray("<Error xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                                                  "<Message>m</Message><Code>SlowDown</Code></Error>")
                                    << std::optional<StoreError>({"SlowDown", "m"});
        QTest::newRow("cut short") << QByteArray("<Error><Code>SlowDown</Code><Mess")
                                   << std::optional<StoreError>({"SlowDown", ""});
        QTest::newRow("error inside a result") << QByteArray("<Result><Error><Code>X</Code></Error></Result>") << none;
    }

    void storeErrorDetection()
    {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<StoreError>, expected);
        QCOMPARE(findStoreError(body), expected);
    }

    // The document is written once and POSTed up to four times, 2 s apart; a 2xx answer holding
    // an <Error> document and a stalled answer are refusals like any other.
    void retries_data()
    {
        QTest::addColumn<QList<ScriptedResponse>>("answers");
        QTest::addColumn<QString>("failure"); // empty: completed
        QTest::newRow("500, 500, 200") << QList{answer(500), answer(500), answer(200)} << QString();
        QTest::newRow("<Error> in a 200, then a result")
                << QList{xmlAnswer(200, internalError), xmlAnswer(200, "<CompleteMultipartUploadResult/>")} << QString();
        QTest::newRow("stalled, then 204") << QList{ScriptedResponse::stall(), answer(204)} << QString();
        QTest::newRow("403 four times") << QList{answer(403), answer(403), answer(403), answer(403)}
                                        << "UploadError (code 403): Server returned an error";
        const ScriptedResponse refusal = xmlAnswer(200, internalError);
        QTest::newRow("<Error> in a 200, four times")
                << QList{refusal, refusal, refusal, refusal}
                << "UploadError (code 200): Server returned an error: InternalError: We encountered an internal "
                   "error. Please try again.";
    }

    void retries()
    {
        QFETCH(QList<ScriptedResponse>, answers);
        QFETCH(QString, failure);
        for (const ScriptedResponse &response : answers)
            server->enqueue(response);
        StallWindow stall(1s);
        SleepRecorder sleeps;
        Diagnostics::Capture output;

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl, *storage));

        QVERIFY(finalized);
        if (failure.isEmpty())
            QVERIFY(*finalized);
        else
            QCOMPARE(finalized->error().fullDescription(), failure);
        QCOMPARE(output.lines(), QStringList{twoPartDocument});
        QCOMPARE(sleeps.requested, QList<qint64>(answers.size() - 1, twoSeconds));
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), answers.size());
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "POST");
            QCOMPARE(request.target, "/bucket/movie.mov?uploadId=u1&X-Amz-Signature=5f%2B3");
            QCOMPARE(request.header("Content-Type"), "application/xml");
            QCOMPARE(request.body, twoPartDocument.toUtf8());
        }
    }

    // Cancelled during a wait, the completion ends at once with the wait's error; cancelled
    // during a POST, that POST fails and the wait after it ends the completion.
    void cancellation_data()
    {
        QTest::addColumn<bool>("whileWaiting");
        QTest::newRow("waiting between POSTs") << true;
        QTest::newRow("POST in flight") << false;
    }

    void cancellation()
    {
        QFETCH(bool, whileWaiting);
        CancellationToken token;
        SleepRecorder sleeps(1000.0);
        int heads = 0;
        server->setHandler([&](const RecordedRequest &) {
            ++heads;
            if (whileWaiting)
                return answer(500);
            cancelSoon(token);
            return ScriptedResponse::stall();
        });
        if (whileWaiting)
            sleeps.onWait = [&] { cancelSoon(token); };
        Diagnostics::Capture output;

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl, *storage, &token));

        QVERIFY2(finalized, "the cancellation did not end the completion");
        QVERIFY(finalized->error().isCancellation());
        QCOMPARE(sleeps.requested, QList<qint64>{twoSeconds});
        QCOMPARE(heads, 1);
    }
};

QTEST_GUILESS_MAIN(UploadCompletionTest)
#include "tst_uploadcompletion.moc"
