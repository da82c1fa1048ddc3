#include "DevService.h"
#include "QuickDriver.h"
#include "UploadScreen.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using QuickDriver::click;

namespace {
constexpr qint64 chunk = 64 * 1024;

QString text(QQuickItem *item)
{
    return item ? item->property("text").toString() : QString();
}
}

// A whole upload as a user makes it on the screen, against the local service and S3 store:
// drop a file, name it, choose the format and perspective, press Upload, watch it go.
class UploadThroughScreenTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk), "--min-part-size", "0"}),
                 qPrintable(stack.failure()));
    }

    void droppedFileIsStoredAndRegistered()
    {
        QByteArray bytes(4 * chunk, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 31 % 251);
        QFile video(folder.filePath("reef dive.mov"));
        QVERIFY(video.open(QIODevice::WriteOnly) && video.write(bytes) == bytes.size());
        video.close();
        // The last part answers late, so the screen is caught while the upload runs.
        QVERIFY(stack.addFault({{"kind", "part"}, {"action", "pass"}, {"skip", 3}, {"delayMs", 1500}}));

        UploadScreen screen(stack.apiUrl());
        QVERIFY(screen.show());
        QVERIFY(screen.drop(screen.item("dropZone"), {QUrl::fromLocalFile(video.fileName())}));
        click(screen.item("videoNameField"));
        screen.type("Reef Dive");
        screen.clickFormat("2D");
        click(screen.item("perspective:360"));

        QList<double> progressSeen;
        connect(&screen.state(), &FileUploaderState::progressChanged, this, [&] {
            if (screen.item("progressBar")->isVisible())
                progressSeen.append(screen.state().progress());
        });
        click(screen.item("uploadButton"));
        QVERIFY(screen.state().isUploading());
        QVERIFY(screen.item("progressBar")->isVisible());
        QTRY_VERIFY(screen.item("progressFill")->width() > 0);
        QVERIFY(screen.state().isUploading());

        QTRY_VERIFY_WITH_TIMEOUT(screen.item("successOverlay")->isVisible(), 60000);
        QCOMPARE(text(screen.item("statusMessage")), "Upload completed!");
        QVERIFY(!screen.item("progressBar")->isVisible());
        QCOMPARE(progressSeen, (QList<double>{0.25, 0.5, 0.75, 1.0}));

        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_name"].toString(), "Reef Dive");
        QCOMPARE(entry["perspective"].toInt(), 360);
        QCOMPARE(entry["file_format_3d"].toString(), "2D");
        QCOMPARE(entry["is_3d"].toBool(), false);
        QCOMPARE(stack.object(entry["video_url_left"].toString()).value_or(QByteArray()), bytes);

        const QString log = text(screen.item("logText"));
        QVERIFY2(log.startsWith(QStringLiteral("🎬 Uploading reef dive.mov…\nUploaded (25%)\n")), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral("Uploaded (100%)\n✅ Finished reef dive.mov\n")));
        QVERIFY(log.endsWith(QStringLiteral("Video uploaded. Library ID: %1, Name: Reef Dive\n\n")
                                 .arg(entry["id"].toInteger())));
        QTRY_VERIFY_WITH_TIMEOUT(!screen.item("successOverlay")->isVisible(), 10000);
    }
};

QTEST_MAIN(UploadThroughScreenTest)
#include "tst_uploadthroughscreen.moc"
