#include "DevService.h"
#include "FileFormat.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"

#include <QAccessible>
#include <QFile>
#include <QJsonObject>
#include <QMimeData>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using QuickDriver::click;
using QuickDriver::text;

namespace {
bool shown(QQuickItem *item)
{
    return item && item->isVisible();
}
}

// The upload screen driven like a user would: the form's rules for the upload button, the
// pickers each format shows, their dialogs and drops, the keyboard, and an upload running.
class UploadScreenTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<QuickDriver::AppHarness> harness;
    FileUploaderState *state = nullptr;

    QUrl file(const QString &name)
    {
        QFile created(folder.filePath(name));
        if (!created.open(QIODevice::WriteOnly) || created.write("video bytes") != 11)
            return {};
        return QUrl::fromLocalFile(created.fileName());
    }

    QQuickItem *item(const QString &name) const { return harness->item(name); }
    QQuickItem *item(const QString &within, const QString &name) const
    {
        QQuickItem *outer = item(within);
        return outer ? QuickDriver::item(outer, name) : nullptr;
    }

    void clickFormat(const QString &format) { click(item("format:" + format)); }
    bool uploadEnabled() const { return item("uploadButton")->isEnabled(); }

    void typeName(const QString &name)
    {
        click(item("videoNameField"));
        QTRY_VERIFY(item("videoNameField")->hasActiveFocus());
        QuickDriver::type(harness->window(), name);
    }

    QObject *dialog(const QString &picker) const { return item(picker)->findChild<QObject *>("fileDialog"); }

    // The picker's open-file dialog, started on `file` and then confirmed or cancelled.
    void choose(const QString &picker, const QUrl &file, bool confirm = true)
    {
        QObject *fileDialog = dialog(picker);
        QVERIFY(fileDialog);
        QVERIFY(fileDialog->setProperty("selectedFile", file));
        QVERIFY(QMetaObject::invokeMethod(fileDialog, "open"));
        QVERIFY(QMetaObject::invokeMethod(fileDialog, confirm ? "accept" : "reject"));
        QVERIFY(!fileDialog->property("visible").toBool());
    }

    // A drag of `urls` entering `target` and dropped there; whether the drop was taken.
    bool drop(QQuickItem *target, const QList<QUrl> &urls)
    {
        QMimeData data;
        data.setUrls(urls);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QDragEnterEvent enter(centre.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(harness->window(), &enter);
        if (!enter.isAccepted()) {
            QDragLeaveEvent leave;
            QCoreApplication::sendEvent(harness->window(), &leave);
            return false;
        }
        QDropEvent dropped(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(harness->window(), &dropped);
        return dropped.isAccepted();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // As when a screen reader runs: Qt's controls then set their own roles.
        QAccessible::setActive(true);
        QVERIFY(folder.isValid());
    }

    void init()
    {
        harness = std::make_unique<QuickDriver::AppHarness>();
        harness->server().enqueue(ScriptedResponse::json(200, ServiceFixtures::workspaceJson("Northwind Studio")));
        QVERIFY(harness->startSignedIn("first-key"));
        state = harness->uploadState();
        QVERIFY(state);
        // Nothing gets uploaded unless a test says so.
        harness->server().setDefaultResponse(ScriptedResponse::stall());
    }

    void cleanup() { harness.reset(); }

    void uploadButtonNeedsEveryFileTheFormatNeeds_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("files"); // picker:name, chosen in this order
        for (const QString &format : {FileFormat::twoD, FileFormat::stereoscopicLeftRight,
                                      FileFormat::stereoscopicTopBottom, FileFormat::spatial})
            QTest::newRow(qPrintable(format)) << format << QStringList{"singleFilePicker:dive.mov"};
        QTest::newRow("separate") << FileFormat::separate
                                  << QStringList{"leftEyePicker:left.mov", "rightEyePicker:right.mov"};
        QTest::newRow("immersive ProRes")
            << FileFormat::appleImmersive
            << QStringList{"singleFilePicker:dive.mov", "aimePicker:dive.aime", "fcpxmlPicker:edit.zip"};
        QTest::newRow("immersive aivu") << FileFormat::appleImmersive << QStringList{"singleFilePicker:dive.aivu"};
    }

    void uploadButtonNeedsEveryFileTheFormatNeeds()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, files);
        clickFormat(format);
        QCOMPARE(state->selectedFileFormat(), format);
        typeName("Reef");
        for (const QString &choice : files) {
            QVERIFY(!uploadEnabled());
            choose(choice.section(':', 0, 0), file(choice.section(':', 1)));
        }
        QVERIFY(uploadEnabled());

        click(item("videoNameField"));
        for (int i = 0; i < 4; ++i)
            QuickDriver::press(harness->window(), Qt::Key_Backspace);
        QCOMPARE(state->videoName(), QString());
        QVERIFY(!uploadEnabled());
    }

    void dropsTakeTheFirstLocalFileOnly()
    {
        QQuickItem *zone = item("dropZone");
        QVERIFY(!drop(zone, {QUrl("https://example.com/clip.mov")}));
        QVERIFY(!drop(zone, {}));
        QVERIFY(drop(zone, {file("first.mov"), file("second.mov")}));
        QTRY_COMPARE(state->selectedFile(), file("first.mov"));
        QCOMPARE(state->statusMessage(), "Ready to upload");
        QCOMPARE(text(item("singleFilePicker", "chosenFileName")), "first.mov");
        click(item("singleFilePicker", "clearFileButton"));
        QVERIFY(state->selectedFile().isEmpty());

        // An eye file is replaced by the next one dropped on it.
        clickFormat(FileFormat::separate);
        QVERIFY(drop(item("rightEyePicker", "eyePickerArea"), {file("right.mov")}));
        QVERIFY(drop(item("rightEyePicker", "eyePickerArea"), {file("better.mov")}));
        QTRY_COMPARE(state->selectedFileRight(), file("better.mov"));
    }

    void dialogsTakeWhatTheirPickerAccepts()
    {
        choose("singleFilePicker", file("Reef Dive.mp4"), false);
        QVERIFY(state->selectedFile().isEmpty());
        choose("singleFilePicker", file("Reef Dive.mp4"));
        QCOMPARE(state->selectedFile(), file("Reef Dive.mp4"));
        QCOMPARE(state->statusMessage(), "Selected: Reef Dive.mp4");

        clickFormat(FileFormat::appleImmersive);
        QCOMPARE(dialog("fcpxmlPicker")->property("nameFilters").toStringList(),
                 QStringList{"Zip archives (*.zip *.ZIP)"});
        QCOMPARE(dialog("aimePicker")->property("nameFilters").toStringList(), QStringList());
        choose("fcpxmlPicker", file("edit.fcpxml.ZIP"));
        QCOMPARE(state->selectedFCPXMLZip(), file("edit.fcpxml.ZIP"));
        choose("fcpxmlPicker", file("edit.fcpxml"));
        QVERIFY(state->selectedFCPXMLZip().isEmpty());
        QCOMPARE(text(item("fcpxmlPicker", "chosenFileName")), "No file selected");
        choose("fcpxmlPicker", file("edit.zip"));
        choose("fcpxmlPicker", file("notes.txt"), false);
        QCOMPARE(state->selectedFCPXMLZip(), file("edit.zip"));
        choose("aimePicker", file("scene.aime"));
        QCOMPARE(state->selectedAIMEFile(), file("scene.aime"));
    }

    void tabVisitsEveryControlInReadingOrder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("pickerControls");
        QTest::addColumn<QStringList>("afterFormats");
        const QStringList perspectives{"perspective:60", "perspective:180", "perspective:360"};
        QTest::newRow("file chosen") << FileFormat::twoD << QStringList{"clearFileButton"}
                                     << perspectives + QStringList{"uploadButton"};
        QTest::newRow("separate, nothing chosen")
            << FileFormat::separate << QStringList{"browseButton", "browseButton"} << perspectives;
        QTest::newRow("immersive, nothing chosen")
            << FileFormat::appleImmersive << QStringList{"dropZone", "chooseButton", "chooseButton"}
            << QStringList();
    }

    void tabVisitsEveryControlInReadingOrder()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, pickerControls);
        QFETCH(QStringList, afterFormats);
        clickFormat(format);
        if (pickerControls.contains("clearFileButton"))
            choose("singleFilePicker", file("dive.mov"));
        typeName("Reef");

        QStringList expected = QStringList{"workspaceDisplay", "detailsButton"} + pickerControls
                               + QStringList{"videoNameField"};
        for (const QString &label : FileFormat::fileFormatOptions())
            expected.append("format:" + label);
        expected += afterFormats;

        item("workspaceDisplay")->forceActiveFocus(Qt::TabFocusReason);
        QStringList visited;
        for (qsizetype step = 0; step < expected.size(); ++step) {
            QQuickItem *focused = harness->window()->activeFocusItem();
            QVERIFY(focused);
            visited.append(focused->objectName());
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(focused);
            QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(), qPrintable(focused->objectName()));
            if (auto *ring = focused->findChild<QQuickItem *>("focusRing"))
                QVERIFY2(ring->isVisible(), qPrintable(focused->objectName()));
            QuickDriver::press(harness->window(), Qt::Key_Tab);
        }
        QCOMPARE(visited, expected);
        QCOMPARE(harness->window()->activeFocusItem()->objectName(), "workspaceDisplay");
    }

    void controlsHaveAccessibleNamesAndRoles_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("control"); // [picker/]objectName
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        const QString twoD = FileFormat::twoD;
        const int button = QAccessible::Button;
        QTest::newRow("workspace") << twoD << "workspaceDisplay" << button
                                   << "Change API key (workspace Northwind Studio)";
        QTest::newRow("details") << twoD << "detailsButton" << button << "Hide details";
        QTest::newRow("drop zone") << twoD << "dropZone" << button << "Drop your file here or click to browse";
        QTest::newRow("eye") << FileFormat::separate << "leftEyePicker/browseButton" << button
                             << "Left Eye File: drop or click to browse";
        QTest::newRow("choose") << FileFormat::appleImmersive << "fcpxmlPicker/chooseButton" << button
                                << "Choose FCPXML Zip (Optional)";
        QTest::newRow("name") << twoD << "videoNameField" << int(QAccessible::EditableText) << "Video Name";
        QTest::newRow("format") << twoD << "format:2D" << button << "2D";
        QTest::newRow("perspective") << twoD << "perspective:60" << button << "60°";
        QTest::newRow("upload") << twoD << "uploadButton" << button << "Upload";
        QTest::newRow("status") << twoD << "statusLine" << int(QAccessible::StatusBar) << "Ready to upload";
        QTest::newRow("progress") << twoD << "progressBar" << int(QAccessible::ProgressBar) << "Upload progress";
        QTest::newRow("cancel") << twoD << "cancelButton" << button << "Cancel upload";
    }

    void controlsHaveAccessibleNamesAndRoles()
    {
        QFETCH(QString, format);
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        clickFormat(format);
        QQuickItem *target = control.contains('/') ? item(control.section('/', 0, 0), control.section('/', 1))
                                                   : item(control);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(target);
        QVERIFY(accessible);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (control.contains(':'))
            QCOMPARE(accessible->state().checked, target->property("selected").toBool());
    }

    void hidingDetailsHidesTheFormAndTheLogButKeepsTheName()
    {
        choose("singleFilePicker", file("dive.mov"));
        typeName("Reef");
        click(item("detailsButton"));
        QTRY_VERIFY(!shown(item("videoInformationSlot")));
        QTRY_VERIFY(!shown(item("logFlickable")));
        QVERIFY(shown(item("logHidden")));
        QCOMPARE(QAccessible::queryAccessibleInterface(item("detailsButton"))->text(QAccessible::Name), "Show details");
        QCOMPARE(state->videoName(), "Reef");
        QVERIFY(uploadEnabled());

        click(item("detailsButton"));
        QTRY_VERIFY(shown(item("videoInformationSlot")) && shown(item("logFlickable")));
        QTRY_VERIFY(!shown(item("logHidden")));
    }

    // Started with Return in the name field, which waits for the form to be complete.
    void cancellingAnUploadGivesTheFormBack()
    {
        typeName("Reef");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QVERIFY(!state->isUploading());
        QVERIFY(!shown(item("progressBar")) && !shown(item("cancelButton")));
        choose("singleFilePicker", file("dive.mov"));
        click(item("videoNameField"));
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QVERIFY(state->isUploading());
        QVERIFY(!item("formScroll")->isEnabled());
        QVERIFY(!uploadEnabled());
        QCOMPARE(text(item("uploadButtonText")), "Uploading...");
        QVERIFY(shown(item("progressBar")) && shown(item("cancelButton")));

        state->appendLog("Uploaded (45%)");
        QTRY_COMPARE(qRound(item("progressFill")->width()), 45);
        QAccessibleValueInterface *value = QAccessible::queryAccessibleInterface(item("progressBar"))->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->currentValue().toDouble(), 45.0);

        click(item("cancelButton"));
        QVERIFY(!state->isUploading());
        QVERIFY(!shown(item("progressBar")) && !shown(item("cancelButton")));
        QVERIFY(item("formScroll")->isEnabled());
        QCOMPARE(state->selectedFile(), file("dive.mov"));
        QCOMPARE(state->videoName(), "Reef");
        QVERIFY(uploadEnabled());
    }

    void logFollowsNewLinesToTheBottom()
    {
        QQuickItem *log = item("logFlickable");
        const auto atBottom = [log] {
            const qreal bottom = log->property("contentHeight").toReal() - log->height();
            return bottom > 0 && qAbs(log->property("contentY").toReal() - bottom) < 0.5;
        };
        for (int line = 1; line <= 80; ++line)
            state->appendLog(QStringLiteral("Uploaded (%1%)").arg(line));
        QTRY_VERIFY(atBottom());
    }

    // Against the local service and S3 store: drop a file, name it, choose format and
    // perspective, press Upload.
    void anUploadThroughTheScreenIsStoredAndRegistered()
    {
        constexpr qint64 chunk = 64 * 1024;
        DevService stack;
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk), "--min-part-size", "0"}),
                 qPrintable(stack.failure()));
        harness = std::make_unique<QuickDriver::AppHarness>();
        QVERIFY(harness->startSignedIn(DevService::demoKey, stack.apiUrl()));
        state = harness->uploadState();

        QByteArray bytes(4 * chunk, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 31 % 251);
        QFile video(folder.filePath("reef dive.mov"));
        QVERIFY(video.open(QIODevice::WriteOnly) && video.write(bytes) == bytes.size());
        video.close();
        QVERIFY(drop(item("dropZone"), {QUrl::fromLocalFile(video.fileName())}));
        typeName("Reef Dive");
        clickFormat(FileFormat::twoD);
        click(item("perspective:360"));
        click(item("uploadButton"));
        QVERIFY(state->isUploading());

        QTRY_VERIFY_WITH_TIMEOUT(shown(item("successOverlay")), 60000);
        QCOMPARE(text(item("statusMessage")), "Upload completed!");
        QVERIFY(!shown(item("progressBar")));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_name"].toString(), "Reef Dive");
        QCOMPARE(entry["perspective"].toInt(), 360);
        QCOMPARE(entry["file_format_3d"].toString(), "2D");
        QCOMPARE(stack.object(entry["video_url_left"].toString()).value_or(QByteArray()), bytes);
        QTRY_VERIFY_WITH_TIMEOUT(!shown(item("successOverlay")), 10000);
    }
};

QTEST_MAIN(UploadScreenTest)
#include "tst_uploadscreen.moc"
