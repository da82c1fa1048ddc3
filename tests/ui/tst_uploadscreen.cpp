#include "FileFormat.h"
#include "QuickDriver.h"
#include "TestHttpServer.h"
#include "Theme.h"
#include "UploadScreen.h"

#include <QAccessible>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using QuickDriver::click;

namespace {
QString text(QQuickItem *item)
{
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

bool shown(QQuickItem *item)
{
    return item && item->isVisible();
}

QString accessibleName(QQuickItem *item)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(item);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}
}

// The upload screen driven like a user would: the form's rules for the upload button, the
// pickers each format shows, the file pickers' dialog and drop handling, hiding details, the
// keyboard, and how an upload in progress looks. The service stalls, so nothing is uploaded.
class UploadScreenTest : public QObject
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
        created.write("video bytes");
        return QUrl::fromLocalFile(created.fileName());
    }

    QQuickItem *item(const QString &name) { return screen->item(name); }

    void typeName(const QString &name)
    {
        QQuickItem *field = item("videoNameField");
        QVERIFY(field);
        click(field);
        QTRY_VERIFY(field->hasActiveFocus());
        screen->type(name);
    }

    bool showsDetails()
    {
        return shown(item("videoInformationSlot")) && shown(item("logFlickable"));
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
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        screen = std::make_unique<UploadScreen>(server->url("/api").toString());
        QVERIFY(screen->show());
    }

    void cleanup()
    {
        screen.reset();
        server.reset();
    }

    void uploadButtonNeedsAFileAndAName()
    {
        QQuickItem *button = item("uploadButton");
        QQuickItem *background = item("uploadButtonBackground");
        QVERIFY(!button->isEnabled());
        QCOMPARE(button->opacity(), 0.7);
        QCOMPARE(background->property("color").value<QColor>(), Theme().systemBlue());
        click(button);
        QCOMPARE(screen->state().statusMessage(), "Ready to upload");
        QVERIFY(server->requests().isEmpty());

        QVERIFY(screen->drop(item("dropZone"), {file("dive.mov")}));
        QVERIFY(!screen->uploadEnabled());
        typeName("R");
        QVERIFY(screen->uploadEnabled());
        QCOMPARE(button->opacity(), 1.0);
        QCOMPARE(text(item("uploadButtonText")), "Upload");
    }

    void uploadButtonRulesPerFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("files"); // picker:name, chosen in this order
        QTest::addColumn<QString>("sideFileSuffix");

        const QStringList single{"singleFilePicker:dive.mov"};
        QTest::newRow("2D") << FileFormat::twoD << single << QString();
        QTest::newRow("left/right") << FileFormat::stereoscopicLeftRight << single << QString();
        QTest::newRow("top/bottom") << FileFormat::stereoscopicTopBottom << single << QString();
        QTest::newRow("spatial") << FileFormat::spatial << single << QString();
        QTest::newRow("separate") << FileFormat::separate
                                  << QStringList{"leftEyePicker:left.mov", "rightEyePicker:right.mov"} << QString();
        QTest::newRow("immersive ProRes") << FileFormat::appleImmersive
                                          << QStringList{"singleFilePicker:dive.mov", "aimePicker:dive.aime",
                                                         "fcpxmlPicker:edit.zip"}
                                          << " (Required)";
        QTest::newRow("immersive aivu") << FileFormat::appleImmersive
                                        << QStringList{"singleFilePicker:dive.aivu"} << " (Optional)";
    }

    // The button stays disabled until the last file the format needs is chosen.
    void uploadButtonRulesPerFormat()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, files);
        QFETCH(QString, sideFileSuffix);

        screen->clickFormat(format);
        QCOMPARE(screen->state().selectedFileFormat(), format);
        typeName("Reef");
        for (const QString &choice : files) {
            QVERIFY(!screen->uploadEnabled());
            const QString picker = choice.section(':', 0, 0);
            screen->confirmDialog(picker, file(choice.section(':', 1)));
        }
        QVERIFY(screen->uploadEnabled());
        if (!sideFileSuffix.isEmpty()) {
            QCOMPARE(text(screen->item("aimePicker")->childItems().first()), "AIME File" + sideFileSuffix);
            QCOMPARE(text(screen->item("fcpxmlPicker")->childItems().first()), "FCPXML Zip" + sideFileSuffix);
        }

        click(item("videoNameField"));
        for (int i = 0; i < 4; ++i)
            QTest::keyClick(screen->window(), Qt::Key_Backspace);
        QCOMPARE(screen->state().videoName(), QString());
        QVERIFY(!screen->uploadEnabled());
    }

    void separateFormatSwapsTheSinglePickerForTwoEyePickers()
    {
        screen->confirmDialog("singleFilePicker", file("dive.mov"));
        QVERIFY(shown(item("singleFilePicker")));
        QVERIFY(!shown(item("leftEyePicker")) && !shown(item("rightEyePicker")));

        screen->clickFormat(FileFormat::separate);
        QVERIFY(!shown(item("singleFilePicker")));
        QVERIFY(shown(item("leftEyePicker")) && shown(item("rightEyePicker")));
        QCOMPARE(text(item("leftEyePicker")->childItems().first()), "Left Eye File");
        QCOMPARE(text(item("rightEyePicker")->childItems().first()), "Right Eye File");
        QVERIFY(screen->state().selectedFile().isEmpty());

        QVERIFY(screen->drop(screen->item("leftEyePicker", "eyePickerArea"), {file("left.mov")}));
        screen->clickFormat(FileFormat::twoD);
        QVERIFY(screen->state().selectedFileLeft().isEmpty());
        QVERIFY(shown(item("singleFilePicker")));
    }

    void immersiveFormatShowsSidePickersAndHidesThePerspective()
    {
        QVERIFY(shown(item("perspectiveBlock")));
        QVERIFY(!shown(item("aimePicker")) && !shown(item("fcpxmlPicker")));

        screen->clickFormat(FileFormat::appleImmersive);
        QVERIFY(!shown(item("perspectiveBlock")));
        QVERIFY(shown(item("aimePicker")) && shown(item("fcpxmlPicker")));
        QCOMPARE(text(item("aimePicker")->childItems().first()), "AIME File (Optional)");

        screen->confirmDialog("singleFilePicker", file("dive.mov"));
        QCOMPARE(text(item("aimePicker")->childItems().first()), "AIME File (Required)");
        QCOMPARE(text(item("fcpxmlPicker")->childItems().first()), "FCPXML Zip (Required)");

        screen->clickFormat(FileFormat::spatial);
        QVERIFY(shown(item("perspectiveBlock")));
        QVERIFY(item("perspective:180")->property("selected").toBool());
        QVERIFY(!item("perspective:60")->property("selected").toBool());
        QVERIFY(!shown(item("aimePicker")));
    }

    void aivuFileSwitchesToTheImmersiveFormat()
    {
        screen->confirmDialog("singleFilePicker", file("given.aivu"));
        QCOMPARE(screen->state().selectedFileFormat(), FileFormat::appleImmersive);
        screen->clickFormat(FileFormat::twoD);
        QCOMPARE(screen->state().selectedFileFormat(), FileFormat::appleImmersive);
        click(screen->item("singleFilePicker", "clearFileButton"));
        screen->clickFormat(FileFormat::twoD);
        screen->confirmDialog("singleFilePicker", file("DIVE.AIVU"));
        QCOMPARE(screen->state().selectedFileFormat(), FileFormat::appleImmersive);
        QVERIFY(shown(item("aimePicker")));
        QCOMPARE(text(item("aimePicker")->childItems().first()), "AIME File (Optional)");
    }

    void formatButtonsTrackTheirHover()
    {
        QuickDriver::hover(item("format:Separate"));
        QTRY_VERIFY(screen->state().hoverStates().value("Separate").toBool());
        QuickDriver::hover(item("format:2D"));
        QTRY_VERIFY(!screen->state().hoverStates().value("Separate").toBool());
        QVERIFY(screen->state().hoverStates().value("2D").toBool());
    }

    void hidingDetailsHidesTheFormAndTheLogButKeepsTheName()
    {
        screen->confirmDialog("singleFilePicker", file("dive.mov"));
        typeName("Reef");
        screen->state().appendLog("Uploaded (10%)");
        QVERIFY(showsDetails());
        QVERIFY(!shown(item("logHidden")));

        click(item("detailsButton"));
        QVERIFY(!screen->state().showDetails());
        QTRY_VERIFY(!shown(item("videoInformationSlot")));
        QTRY_VERIFY(!shown(item("logFlickable")));
        QVERIFY(!shown(item("videoNameField")));
        QVERIFY(shown(item("logHidden")));
        QCOMPARE(text(item("logHidden")->childItems().first()), "Log details hidden");
        QCOMPARE(screen->state().videoName(), "Reef");
        QVERIFY(screen->uploadEnabled());

        click(item("detailsButton"));
        QTRY_VERIFY(showsDetails());
        QTRY_VERIFY(!shown(item("logHidden")));
    }

    void singlePickerTakesTheFirstDroppedFileAndLeavesTheStatus()
    {
        QQuickItem *zone = item("dropZone");
        QQuickItem *outline = screen->item("singleFilePicker", "pickerOutline");
        QVERIFY(outline->property("dashed").toBool());
        QVERIFY(screen->dragEnter(zone, {file("first.mov")}));
        QVERIFY(!outline->property("dashed").toBool());
        QCOMPARE(outline->property("color").value<QColor>(), Theme().systemBlue());
        QCOMPARE(item("dropZoneSymbol")->opacity(), 1.0);
        screen->dragLeave();
        QVERIFY(outline->property("dashed").toBool());
        QCOMPARE(item("dropZoneSymbol")->opacity(), 0.8);

        const QUrl first = file("first.mov");
        QVERIFY(screen->drop(zone, {first, file("second.mov")}));
        QTRY_COMPARE(screen->state().selectedFile(), first);
        QCOMPARE(screen->state().statusMessage(), "Ready to upload");
        QCOMPARE(text(screen->item("singleFilePicker", "chosenFileName")), "first.mov");
        QCOMPARE(text(screen->item("singleFilePicker", "chosenFileKind")), "MOV file");

        screen->state().setStatusMessage("Selected: first.mov");
        click(screen->item("singleFilePicker", "clearFileButton"));
        QVERIFY(screen->state().selectedFile().isEmpty());
        QCOMPARE(screen->state().statusMessage(), "Ready to upload");
    }

    void dropsOfAnythingButFilesAreRefused()
    {
        QVERIFY(!screen->drop(item("dropZone"), {QUrl("https://example.com/clip.mov")}));
        QVERIFY(!screen->drop(item("dropZone"), {}));
        QVERIFY(screen->state().selectedFile().isEmpty());
    }

    void eyePickerTakesADropInEitherState()
    {
        screen->clickFormat(FileFormat::separate);
        QQuickItem *area = screen->item("rightEyePicker", "eyePickerArea");
        QQuickItem *outline = screen->item("rightEyePicker", "pickerOutline");
        QVERIFY(screen->dragEnter(area, {file("right.mov")}));
        QVERIFY(!outline->property("dashed").toBool());
        screen->dragLeave();

        QVERIFY(screen->drop(area, {file("right.mov"), file("other.mov")}));
        QTRY_COMPARE(screen->state().selectedFileRight(), file("right.mov"));
        QVERIFY(screen->drop(area, {file("better right.mov")}));
        QTRY_COMPARE(screen->state().selectedFileRight(), file("better right.mov"));
        QCOMPARE(text(screen->item("rightEyePicker", "chosenFileName")), "better right.mov");
        QVERIFY(screen->state().selectedFileLeft().isEmpty());

        click(screen->item("rightEyePicker", "clearFileButton"));
        QVERIFY(screen->state().selectedFileRight().isEmpty());
    }

    void singlePickerDialogSetsTheStatusLine()
    {
        QObject *dialog = screen->dialog("singleFilePicker");
        click(item("dropZone"));
        QTRY_VERIFY(dialog->property("visible").toBool());
        QVERIFY(QMetaObject::invokeMethod(dialog, "reject"));
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QVERIFY(screen->state().selectedFile().isEmpty());
        QCOMPARE(screen->state().statusMessage(), "Ready to upload");

        screen->confirmDialog("singleFilePicker", file("Reef Dive.mp4"));
        QCOMPARE(screen->state().selectedFile(), file("Reef Dive.mp4"));
        QCOMPARE(screen->state().statusMessage(), "Selected: Reef Dive.mp4");
    }

    void fcpxmlPickerKeepsZipArchivesOnly()
    {
        screen->clickFormat(FileFormat::appleImmersive);
        QObject *dialog = screen->dialog("fcpxmlPicker");
        QCOMPARE(dialog->property("nameFilters").toStringList(), QStringList{"Zip archives (*.zip *.ZIP)"});
        QCOMPARE(screen->dialog("aimePicker")->property("nameFilters").toStringList(), QStringList());

        screen->confirmDialog("fcpxmlPicker", file("edit.fcpxml.ZIP"));
        QCOMPARE(screen->state().selectedFCPXMLZip(), file("edit.fcpxml.ZIP"));
        QCOMPARE(text(screen->item("fcpxmlPicker", "chosenFileName")), "edit.fcpxml.ZIP");

        screen->confirmDialog("fcpxmlPicker", file("edit.fcpxml"));
        QVERIFY(screen->state().selectedFCPXMLZip().isEmpty());
        QCOMPARE(text(screen->item("fcpxmlPicker", "chosenFileName")), "No file selected");

        screen->confirmDialog("fcpxmlPicker", file("edit.zip"));
        screen->cancelDialog("fcpxmlPicker", file("notes.txt"));
        QCOMPARE(screen->state().selectedFCPXMLZip(), file("edit.zip"));

        screen->confirmDialog("aimePicker", file("scene.aime"));
        QCOMPARE(screen->state().selectedAIMEFile(), file("scene.aime"));
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
        screen->clickFormat(format);
        if (pickerControls.contains("clearFileButton"))
            screen->confirmDialog("singleFilePicker", file("dive.mov"));
        typeName("Reef");

        QStringList expected = QStringList{"workspaceDisplay", "detailsButton"} + pickerControls
                               + QStringList{"videoNameField"};
        for (const QString &label : FileFormat::fileFormatOptions())
            expected.append("format:" + label);
        expected += afterFormats;

        item("workspaceDisplay")->forceActiveFocus(Qt::TabFocusReason);
        QStringList visited;
        for (qsizetype step = 0; step < expected.size(); ++step) {
            QQuickItem *focused = screen->window()->activeFocusItem();
            QVERIFY(focused);
            visited.append(focused->objectName());
            QVERIFY2(!accessibleName(focused).isEmpty(), qPrintable(focused->objectName()));
            if (QQuickItem *ring = QuickDriver::tryItem(focused, "focusRing"))
                QVERIFY2(ring->isVisible(), qPrintable(focused->objectName()));
            QTest::keyClick(screen->window(), Qt::Key_Tab);
        }
        QCOMPARE(visited, expected);
        QCOMPARE(screen->window()->activeFocusItem()->objectName(), "workspaceDisplay");
    }

    void controlsHaveAccessibleNamesAndRoles_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("within");
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        const QString twoD = FileFormat::twoD;
        QTest::newRow("workspace") << twoD << "" << "workspaceDisplay" << int(QAccessible::Button)
                                   << "Change API key (workspace Northwind Studio)";
        QTest::newRow("details") << twoD << "" << "detailsButton" << int(QAccessible::Button) << "Hide details";
        QTest::newRow("drop zone") << twoD << "" << "dropZone" << int(QAccessible::Button)
                                   << "Drop your file here or click to browse";
        QTest::newRow("eye") << FileFormat::separate << "leftEyePicker" << "browseButton" << int(QAccessible::Button)
                             << "Left Eye File: drop or click to browse";
        QTest::newRow("choose") << FileFormat::appleImmersive << "fcpxmlPicker" << "chooseButton"
                                << int(QAccessible::Button) << "Choose FCPXML Zip (Optional)";
        QTest::newRow("name") << twoD << "" << "videoNameField" << int(QAccessible::EditableText) << "Video Name";
        QTest::newRow("format") << twoD << "" << "format:2D" << int(QAccessible::Button) << "2D";
        QTest::newRow("perspective") << twoD << "" << "perspective:60" << int(QAccessible::Button) << "60°";
        QTest::newRow("upload") << twoD << "" << "uploadButton" << int(QAccessible::Button) << "Upload";
        QTest::newRow("status") << twoD << "" << "statusLine" << int(QAccessible::StatusBar) << "Ready to upload";
        QTest::newRow("progress") << twoD << "" << "progressBar" << int(QAccessible::ProgressBar) << "Upload progress";
        QTest::newRow("cancel") << twoD << "" << "cancelButton" << int(QAccessible::Button) << "Cancel upload";
    }

    void controlsHaveAccessibleNamesAndRoles()
    {
        QFETCH(QString, format);
        QFETCH(QString, within);
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        screen->clickFormat(format);
        QQuickItem *target = within.isEmpty() ? item(control) : screen->item(within, control);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(target);
        QVERIFY(accessible);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (control.startsWith("format:") || control.startsWith("perspective:"))
            QCOMPARE(accessible->state().checked, target->property("selected").toBool());
    }

    void returnInTheNameFieldStartsAnEnabledUpload()
    {
        server->enqueue(ScriptedResponse::stall());
        typeName("Reef");
        QTest::keyClick(screen->window(), Qt::Key_Return);
        QVERIFY(!screen->state().isUploading());
        QCOMPARE(screen->state().statusMessage(), "Ready to upload");

        screen->confirmDialog("singleFilePicker", file("dive.mov"));
        click(item("videoNameField"));
        QTest::keyClick(screen->window(), Qt::Key_Return);
        QVERIFY(screen->state().isUploading());
        QTRY_COMPARE(server->requests().size(), 1);
        screen->state().cancelUpload();
    }

    void uploadInProgressDisablesTheFormAndShowsProgress()
    {
        server->enqueue(ScriptedResponse::stall());
        screen->confirmDialog("singleFilePicker", file("dive.mov"));
        typeName("Reef");
        QVERIFY(!shown(item("progressBar")) && !shown(item("cancelButton")));
        QVERIFY(!shown(item("uploadSpinner")));

        click(item("uploadButton"));
        QVERIFY(screen->state().isUploading());
        QVERIFY(!item("formScroll")->isEnabled());
        QVERIFY(!item("videoNameField")->isEnabled());
        QVERIFY(!screen->uploadEnabled());
        QCOMPARE(item("uploadButton")->opacity(), 0.7);
        QCOMPARE(item("uploadButtonBackground")->property("color").value<QColor>(), Theme().systemGray());
        QCOMPARE(text(item("uploadButtonText")), "Uploading...");
        QVERIFY(shown(item("uploadSpinner")) && !shown(item("uploadSymbol")));
        QVERIFY(shown(item("progressBar")) && shown(item("cancelButton")));
        QCOMPARE(text(item("statusMessage")), "Uploading…");

        // The dot swings towards blue and back while the upload runs.
        QQuickItem *dot = item("statusDot");
        QTRY_VERIFY(dot->property("pulse").toReal() > 0.9);
        QTRY_VERIFY(dot->property("pulse").toReal() < 0.1);
        QTRY_VERIFY(dot->property("pulse").toReal() > 0.9);

        screen->state().appendLog("Uploaded (45%)");
        QTRY_COMPARE(qRound(item("progressFill")->width()), 45);
        QAccessibleValueInterface *value = QAccessible::queryAccessibleInterface(item("progressBar"))->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->currentValue().toDouble(), 45.0);
        QCOMPARE(value->maximumValue().toDouble(), 100.0);

        QStringList statuses;
        connect(&screen->state(), &FileUploaderState::statusMessageChanged, this,
                [&] { statuses.append(text(item("statusMessage"))); });
        click(item("cancelButton"));
        QVERIFY(!screen->state().isUploading());
        QCOMPARE(statuses.value(0), "Upload canceled");
        QVERIFY(!shown(item("progressBar")) && !shown(item("cancelButton")));
        QVERIFY(item("formScroll")->isEnabled());
        QTRY_COMPARE(dot->property("pulse").toReal(), 0.0);
        QCOMPARE(dot->property("color").value<QColor>(), Theme().systemGreen());
        QCOMPARE(dot->opacity(), 0.8);
    }

    void logFollowsNewLinesToTheBottom()
    {
        QQuickItem *log = item("logFlickable");
        const auto atBottom = [log] {
            const qreal bottom = log->property("contentHeight").toReal() - log->height();
            return bottom > 0 && qAbs(log->property("contentY").toReal() - bottom) < 0.5;
        };
        for (int line = 1; line <= 80; ++line)
            screen->state().appendLog(QStringLiteral("Uploaded (%1%)").arg(line));
        QTRY_VERIFY(atBottom());
        QVERIFY(text(item("logText")).endsWith("Uploaded (80%)\n"));

        log->setProperty("contentY", 0);
        screen->state().appendLog("Uploaded (81%)");
        QTRY_VERIFY(atBottom());
    }

    void successOverlayShowsOverTheScreen()
    {
        QQuickItem *overlay = item("successOverlay");
        QVERIFY(!overlay->isVisible());
        screen->state().setShowSuccessAnimation(true);
        QTRY_COMPARE(overlay->opacity(), 1.0);
        QVERIFY(overlay->isVisible());
        screen->state().setShowSuccessAnimation(false);
        QTRY_VERIFY(!overlay->isVisible());
    }
};

QTEST_MAIN(UploadScreenTest)
#include "tst_uploadscreen.moc"
