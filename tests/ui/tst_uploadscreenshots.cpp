#include "ColorSchemeWatcher.h"
#include "FileFormat.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "TestHttpServer.h"
#include "UploadScreen.h"

#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;

namespace {
// What a run of many parts has written by its fifth part.
const QStringList runningLog{
    QStringLiteral("Uploaded (1%)"), QStringLiteral("Uploaded (2%)"), QStringLiteral("Uploaded (3%)"),
    QStringLiteral("Uploaded (4%)"), QStringLiteral("Uploaded (5%)"),
};
}

// Renders the upload screen in each format and in each phase of an upload, light and dark,
// to PNG files in the build tree (upload-<name>[-dark].png), for the README and for a look by
// eye, and checks that each shows what it was asked to.
class UploadScreenshotTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<UploadScreen> screen;

    QUrl file(const QString &name)
    {
        QFile created(folder.filePath(name));
        if (!created.open(QIODevice::WriteOnly))
            return {};
        return QUrl::fromLocalFile(created.fileName());
    }

    void nameVideo(const QString &name)
    {
        QuickDriver::click(screen->item("videoNameField"));
        screen->type(name);
    }

    // Starts an upload of `fileSize` bytes whose session request never returns, and shows the
    // progress of its first parts, one every `partInterval`.
    void startStalledUpload(qint64 fileSize = 0, std::chrono::milliseconds partInterval = {})
    {
        server->enqueue(ScriptedResponse::stall());
        const QUrl video = file("Coral Garden.mov");
        // Sparse: as large as a real film, without the disk space.
        QVERIFY(QFile::resize(video.toLocalFile(), fileSize));
        screen->confirmDialog("singleFilePicker", video);
        nameVideo("Coral Garden");
        QuickDriver::click(screen->item("uploadButton"));
        QVERIFY(screen->state().isUploading());
        for (const QString &line : runningLog) {
            QTest::qWait(int(partInterval.count()));
            screen->state().appendLog(line);
        }
    }

    // Saves the screen as it is in the light palette, then in the dark one.
    void saveBothPalettes(const QString &name)
    {
        save(name);
        QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
        save(name + QStringLiteral("-dark"));
        QGuiApplication::setPalette(QPalette());
    }

    void save(const QString &name)
    {
        QuickDriver::moveMouseAway(screen->window());
        QTest::qWait(800); // springs and fades settle
        const QImage image = screen->window()->grabWindow();
        QVERIFY(!image.isNull());
        const QString path = QuickDriver::screenshotDirectory() + QStringLiteral("/upload-") + name
            + QStringLiteral(".png");
        QVERIFY2(image.save(path), qPrintable(path));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
    }

    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        screen = std::make_unique<UploadScreen>(server->url("/api").toString());
        QVERIFY(screen->show());
        screen->window()->resize(1024, 880);
    }

    void cleanup()
    {
        screen.reset();
        server.reset();
        QGuiApplication::setPalette(QPalette());
    }

    void eachFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("name");
        QTest::newRow("2d") << FileFormat::twoD << "format-2d";
        QTest::newRow("left/right") << FileFormat::stereoscopicLeftRight << "format-left-right";
        QTest::newRow("top/bottom") << FileFormat::stereoscopicTopBottom << "format-top-bottom";
        QTest::newRow("spatial") << FileFormat::spatial << "format-spatial";
        QTest::newRow("immersive") << FileFormat::appleImmersive << "format-immersive";
        QTest::newRow("separate") << FileFormat::separate << "format-separate";
    }

    void eachFormat()
    {
        QFETCH(QString, format);
        QFETCH(QString, name);
        screen->clickFormat(format);
        if (format == FileFormat::separate) {
            screen->confirmDialog("leftEyePicker", file("Canyon Left.mov"));
            QVERIFY(screen->drop(screen->item("rightEyePicker", "eyePickerArea"), {file("Canyon Right.mov")}));
        } else if (format == FileFormat::appleImmersive) {
            screen->confirmDialog("singleFilePicker", file("Canyon Flight.mov"));
            screen->confirmDialog("aimePicker", file("Canyon Flight.aime"));
        } else if (format != FileFormat::stereoscopicLeftRight) {
            screen->confirmDialog("singleFilePicker", file("Canyon Flight.mov"));
        }
        if (format != FileFormat::stereoscopicLeftRight)
            nameVideo("Canyon Flight");
        QCOMPARE(screen->state().selectedFileFormat(), format);
        saveBothPalettes(name);
    }

    void uploading()
    {
        // Parts of 1 % of 4.5 GB every 0.9 s: about 50 MB/s.
        startStalledUpload(4'500'000'000, 900ms);
        QVERIFY(screen->item("progressBar")->isVisible());
        QVERIFY(screen->item("transferEstimate")->isVisible());
        saveBothPalettes("uploading");
        screen->state().cancelUpload();
    }

    void failed()
    {
        server->enqueue(ScriptedResponse::json(503, "{\"error\":\"Service unavailable\"}"));
        screen->confirmDialog("singleFilePicker", file("Coral Garden.mov"));
        nameVideo("Coral Garden");
        QuickDriver::click(screen->item("uploadButton"));
        QTRY_VERIFY(screen->state().statusMessage().startsWith("Upload failed: "));
        saveBothPalettes("failed");
    }

    void detailsHidden()
    {
        startStalledUpload();
        QuickDriver::click(screen->item("detailsButton"));
        QTRY_VERIFY(!screen->item("videoInformationSlot")->isVisible());
        saveBothPalettes("details-hidden");
        screen->state().cancelUpload();
    }

    void successOverlay()
    {
        screen->confirmDialog("singleFilePicker", file("Coral Garden.mov"));
        nameVideo("Coral Garden");
        screen->state().appendLog(QStringLiteral("🎬 Uploading Coral Garden.mov…"));
        for (const QString &line : runningLog)
            screen->state().appendLog(line);
        screen->state().appendLog(QStringLiteral("Uploaded (100%)"));
        screen->state().appendLog(QStringLiteral("✅ Finished Coral Garden.mov"));
        screen->state().appendLog(QStringLiteral("Video uploaded. Library ID: 42, Name: Coral Garden\n"));
        screen->state().setStatusMessage("Upload completed!");
        screen->state().setShowSuccessAnimation(true);
        QTRY_COMPARE(screen->item("successOverlay")->opacity(), 1.0);
        save("success");
        QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
        screen->state().setShowSuccessAnimation(true);
        save("success-dark");
    }
};

QTEST_MAIN(UploadScreenshotTest)
#include "tst_uploadscreenshots.moc"
