#include "Diagnostics.h"
#include "TransferTestSupport.h"
#include "UploadCompletion.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace TransferTest;

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(std::optional<StoreError>)

namespace {
constexpr qint64 twoSeconds = 2'000'000'000;
const QByteArray completionTarget = "/bucket/movie.mov?uploadId=u1&X-Amz-Signature=5f%2B3";
// Handed in out of order, one ETag with characters XML would escape.
const QList<CompletedPart> parts{{10, "a&b<c>"}, {2, "\"b\""}};
const QString document = QStringLiteral("<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
                                        "<Part>\n   <ETag>\"b\"</ETag>\n   <PartNumber>2</PartNumber>\n</Part>"
                                        "<Part>\n   <ETag>a&b<c></ETag>\n   <PartNumber>10</PartNumber>\n</Part>\n"
                                        "</CompleteMultipartUpload>");
const QByteArray internalError = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Error><Code>InternalError</Code><Message>We encountered an internal error. "
                                 "Please try again.</Message><RequestId>4442587FB7D0A2F9</RequestId></Error>";

ScriptedResponse xmlAnswer(QByteArray body)
{
    ScriptedResponse response = answer(200);
    response.headers = {{"Content-Type", "application/xml"}};
    response.body = std::move(body);
    return response;
}
}

class UploadCompletionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storeErrorDetection_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<StoreError>>("expected");
        const std::optional<StoreError> none;
        QTest::newRow("result") << QByteArray("<?xml version=\"1.0\"?>\n<CompleteMultipartUploadResult>"
                                              "<ETag>\"x-2\"</ETag></CompleteMultipartUploadResult>")
                                << none;
        QTest::newRow("after keep-alive whitespace")
                << QByteArray("\n  \n  ") + internalError
                << std::optional<StoreError>({"InternalError", "We encountered an internal error. Please try again."});
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

    // The document names the parts in ascending order and is written once, then POSTed up to
    // four times, 2 s apart; a 2xx answer holding an <Error> document and a stall are refusals.
    void retries_data()
    {
        QTest::addColumn<QList<ScriptedResponse>>("answers");
        QTest::addColumn<QString>("failure"); // empty: completed
        QTest::newRow("403, stalled, <Error> in a 200, then a result")
                << QList{answer(403), ScriptedResponse::stall(), xmlAnswer(internalError),
                         xmlAnswer("<CompleteMultipartUploadResult/>")}
                << QString();
        QTest::newRow("403 four times") << QList{answer(403), answer(403), answer(403), answer(403)}
                                        << "UploadError (code 403): Server returned an error";
    }

    void retries()
    {
        QFETCH(QList<ScriptedResponse>, answers);
        QFETCH(QString, failure);
        TestHttpServer server;
        QVERIFY(server.listen());
        for (const ScriptedResponse &response : answers)
            server.enqueue(response);
        StallWindow stall(1s);
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        StorageClient storage;

        const auto finalized =
                finishWithin(finalizeUpload(parts, server.url(QString::fromLatin1(completionTarget)), storage));

        QVERIFY(finalized);
        if (failure.isEmpty())
            QVERIFY(*finalized);
        else
            QCOMPARE(finalized->error().fullDescription(), failure);
        QCOMPARE(output.lines(), QStringList{document});
        QCOMPARE(sleeps.requested, QList<qint64>(answers.size() - 1, twoSeconds));
        const QList<RecordedRequest> requests = server.requests();
        QCOMPARE(requests.size(), answers.size());
        for (const RecordedRequest &request : requests) {
            QCOMPARE(request.method, "POST");
            QCOMPARE(request.target, completionTarget);
            QCOMPARE(request.header("Content-Type"), "application/xml");
            QCOMPARE(request.body, document.toUtf8());
        }
    }
};

QTEST_GUILESS_MAIN(UploadCompletionTest)
#include "tst_uploadcompletion.moc"
