#include "HttpClient.h"
#include "TransferTestSupport.h"
#include "UploadCompletion.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(CompletedPart)
Q_DECLARE_METATYPE(std::optional<StoreError>)

namespace {
constexpr qint64 twoSeconds = 2'000'000'000;

const QString opening = QStringLiteral("<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n");
const QString closing = QStringLiteral("\n</CompleteMultipartUpload>");
const QList<CompletedPart> twoParts{{2, "\"b\""}, {1, "\"a\""}};
const QByteArray internalError = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Error><Code>InternalError</Code><Message>We encountered an internal error. "
                                 "Please try again.</Message><RequestId>4442587FB7D0A2F9</RequestId></Error>";

ScriptedResponse xmlAnswer(int status, QByteArray body)
{
    ScriptedResponse response;
    response.status = status;
    response.headers = {{"Content-Type", "application/xml"}};
    response.body = std::move(body);
    return response;
}
}

class UploadCompletionTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    QUrl completeUrl;

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        completeUrl = server->url("/bucket/movie.mov?uploadId=u1&X-Amz-Signature=5f%2B3");
        HttpClient::setTransferTimeout(fallbackTimeout);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void documentBytes_data()
    {
        QTest::addColumn<QList<CompletedPart>>("parts");
        QTest::addColumn<QString>("document");
        QTest::newRow("handed in as 3, 1, 2")
                << QList<CompletedPart>{{3, "\"c\""}, {1, "\"a\""}, {2, "\"b\""}}
                << opening + "<Part>\n   <ETag>\"a\"</ETag>\n   <PartNumber>1</PartNumber>\n</Part>"
                           "<Part>\n   <ETag>\"b\"</ETag>\n   <PartNumber>2</PartNumber>\n</Part>"
                           "<Part>\n   <ETag>\"c\"</ETag>\n   <PartNumber>3</PartNumber>\n</Part>"
                        + closing;
        QTest::newRow("no part") << QList<CompletedPart>{} << opening + closing;
        QTest::newRow("part 10, ETag not escaped")
                << QList<CompletedPart>{{10, "a&b<c>"}}
                << opening + "<Part>\n   <ETag>a&b<c></ETag>\n   <PartNumber>10</PartNumber>\n</Part>" + closing;
    }

    void documentBytes()
    {
        QFETCH(QList<CompletedPart>, parts);
        QFETCH(QString, document);
        QCOMPARE(completionDocument(parts), document);
        if (parts.isEmpty())
            QCOMPARE(completionDocument(parts).split('\n').value(1), QString());
    }

    void storeErrorDetection_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<StoreError>>("expected");
        const std::optional<StoreError> none;
        QTest::newRow("empty") << QByteArray() << none;
        QTest::newRow("result")
                << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CompleteMultipartUploadResult>"
                              "<ETag>\"x-2\"</ETag></CompleteMultipartUploadResult>")
                << none;
        QTest::newRow("error") << internalError
                               << std::optional<StoreError>(
                                          {"InternalError", "We encountered an internal error. Please try again."});
        QTest::newRow("after keep-alive whitespace")
                << QByteArray("\n  \n  ") + internalError
                << std::optional<StoreError>({"InternalError", "We encountered an internal error. Please try again."});
        QTest::newRow("namespaced")
                << QByteArray("<Error xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Message>m</Message>"
                              "<Code>SlowDown</Code></Error>")
                << std::optional<StoreError>({"SlowDown", "m"});
        QTest::newRow("cut short") << QByteArray("<Error><Code>SlowDown</Code><Mess")
                                   << std::optional<StoreError>({"SlowDown", ""});
        QTest::newRow("error inside a result")
                << QByteArray("<Result><Error><Code>X</Code></Error></Result>") << none;
        QTest::newRow("plain text") << QByteArray("Error: InternalError") << none;
        QTest::newRow("html") << QByteArray("<html><body>Error</body></html>") << none;
    }

    void storeErrorDetection()
    {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<StoreError>, expected);
        QCOMPARE(findStoreError(body), expected);
    }

    void refusalsAreRetriedTwoSecondsApart()
    {
        server->enqueue(answer(500));
        server->enqueue(answer(500));
        server->enqueue(answer(200));
        SleepRecorder sleeps;
        Diagnostics::Capture output;

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl));

        QVERIFY(finalized && *finalized);
        QCOMPARE(output.lines(), QStringList{completionDocument(twoParts)});
        QCOMPARE(sleeps.requested, (QList<qint64>{twoSeconds, twoSeconds}));
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 3);
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "POST");
            QCOMPARE(request.target, "/bucket/movie.mov?uploadId=u1&X-Amz-Signature=5f%2B3");
            QCOMPARE(request.header("Content-Type"), "application/xml");
            QCOMPARE(request.body, completionDocument(twoParts).toUtf8());
        }
        QCOMPARE(server->connectionCount(), 1);
    }

    void fourRefusalsFail()
    {
        server->setDefaultResponse(answer(403));
        SleepRecorder sleeps;
        Diagnostics::Capture output;

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl));

        QVERIFY(finalized && !*finalized);
        QCOMPARE(finalized->error(), Error::upload(403, "Server returned an error"));
        QCOMPARE(finalized->error().description(), "Server returned an error");
        QCOMPARE(finalized->error().fullDescription(), "UploadError (code 403): Server returned an error");
        QCOMPARE(server->requests().size(), 4);
        QCOMPARE(sleeps.requested, (QList<qint64>{twoSeconds, twoSeconds, twoSeconds}));
        QCOMPARE(output.lines().size(), 1);
    }

    void errorDocumentInsideSuccessIsARefusal()
    {
        server->enqueue(xmlAnswer(200, internalError));
        SleepRecorder sleeps;
        Diagnostics::Capture output;

        const auto posted = finishWithin(postCompleteMultipartUpload(completeUrl, completionDocument(twoParts)));

        QVERIFY(posted && !*posted);
        QCOMPARE(posted->error(), Error::upload(200, QString()));
        QCOMPARE(posted->error().description(),
                 "Server returned an error: InternalError: We encountered an internal error. Please try again.");

        server->enqueue(xmlAnswer(200, internalError));
        server->enqueue(xmlAnswer(200, "<CompleteMultipartUploadResult/>"));
        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl));
        QVERIFY(finalized && *finalized);
        QCOMPARE(sleeps.requested, QList<qint64>{twoSeconds});
        QCOMPARE(server->requests().size(), 3);
    }

    void transportFailureTakesPartInTheRetries()
    {
        HttpClient::setTransferTimeout(250ms);
        SleepRecorder sleeps;
        server->setHandler([&](const RecordedRequest &) {
            return sleeps.requested.isEmpty() ? ScriptedResponse::stall() : answer(204);
        });
        Diagnostics::Capture output;

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl));

        QVERIFY(finalized && *finalized);
        QCOMPARE(sleeps.requested, QList<qint64>{twoSeconds});
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

        const auto finalized = finishWithin(finalizeUpload(twoParts, completeUrl, &token));

        QVERIFY2(finalized, "the cancellation did not end the completion");
        QVERIFY(!*finalized);
        QVERIFY(finalized->error().isCancellation());
        QCOMPARE(sleeps.requested, QList<qint64>{twoSeconds});
        QCOMPARE(heads, 1);
        QCOMPARE(output.lines().size(), 1);
    }
};

QTEST_GUILESS_MAIN(UploadCompletionTest)
#include "tst_uploadcompletion.moc"
