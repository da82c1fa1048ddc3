#include "ApiKeyPreference.h"
#include "DevService.h"
#include "FileFormat.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "SymbolImage.h"
#include "UploadRecordStore.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QMimeData>
#include <QPointer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtGui/private/qguiapplication_p.h>
#include <QtQml/qqmlextensionplugin.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;
using QuickDriver::click;
using QuickDriver::text;

namespace {
const QString signIn = QStringLiteral("loginView");
const QString keyChange = QStringLiteral("changeKey");
const QString upload = QStringLiteral("fileUploaderView");

ScriptedResponse workspaceNamed(const QByteArray &name, std::chrono::milliseconds delay = 0ms)
{
    ScriptedResponse response = ScriptedResponse::json(200, ServiceFixtures::workspaceJson(name));
    response.delay = delay;
    return response;
}

// The middle of the screen, where its card or panels are, stands out from the background.
bool drawsSomething(QQuickWindow *window)
{
    const QImage image = window->grabWindow();
    return !image.isNull()
        && image.pixelColor(image.width() / 2, image.height() / 2) != image.pixelColor(5, image.height() - 5);
}

bool shown(QQuickItem *item)
{
    return item && item->isVisible();
}

// The items whose disabled state was announced to assistive technology as changed.
QList<QObject *> announcedEnabledChanges;
void recordEnabledChange(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::StateChanged
        && static_cast<QAccessibleStateChangeEvent *>(event)->changedStates().disabled)
        announcedEnabledChanges.append(event->object());
}
}

// The app's window driven like a user would: which screen it shows for which session state,
// signing in and changing the key, and on the upload screen the form's rules, the pickers'
// dialogs and drops, the keyboard and an upload running.
class ScreensTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<QuickDriver::AppHarness> harness;
    FileUploaderState *state = nullptr;

    // On the upload screen of `workspace`, signed in with "first-key"; after that the service
    // stalls unless a test says otherwise.
    bool startSignedIn(const QByteArray &workspace = "Northwind Studio")
    {
        harness->server().enqueue(workspaceNamed(workspace));
        if (!harness->startSignedIn(QStringLiteral("first-key")))
            return false;
        harness->server().setDefaultResponse(ScriptedResponse::stall());
        state = harness->uploadState();
        return state != nullptr;
    }

    QUrl file(const QString &name)
    {
        QFile created(folder.filePath(name));
        if (!created.open(QIODevice::WriteOnly) || created.write("video bytes") != 11)
            return {};
        return QUrl::fromLocalFile(created.fileName());
    }

    void enterKey(const QString &key)
    {
        QTRY_VERIFY(item("apiKeyField")->hasActiveFocus());
        QuickDriver::type(harness->window(), key);
    }

    void press(Qt::Key key) { QuickDriver::press(harness->window(), key); }
    QString focused() const { return harness->window()->activeFocusItem()->objectName(); }

    // Presses Tab until the control called `objectName` has the focus.
    bool tabTo(const QString &objectName)
    {
        for (int step = 0; step < 40 && focused() != objectName; ++step)
            press(Qt::Key_Tab);
        return focused() == objectName;
    }

    void verifyKeyCardArrives()
    {
        QTRY_VERIFY(item("apiKeyField")->hasActiveFocus());
        QTRY_COMPARE(item("keyFormPanel")->opacity(), 1.0);
        QTRY_COMPARE(item("keyForm")->opacity(), 1.0);
        QTRY_VERIFY(drawsSomething(harness->window()));
    }

    // What a press changed: a value of the upload screen's state, the picker whose dialog is open,
    // the screen on display or the session's key.
    QString probed(const QString &probe) const
    {
        if (probe == "screen")
            return harness->screen();
        if (probe == "key")
            return harness->session().apiKey().value_or(QString());
        if (probe == "dialog") {
            for (const char *picker : {"singleFilePicker", "leftEyePicker", "rightEyePicker", "aimePicker", "fcpxmlPicker"})
                if (dialog(picker)->property("visible").toBool())
                    return picker;
            return {};
        }
        if (probe == "format")
            return state->selectedFileFormat();
        if (probe == "perspective")
            return state->selectedPerspective();
        if (probe == "status")
            return state->statusMessage();
        if (probe == "left file")
            return state->selectedFileLeft().toString();
        return state->showDetails() ? "shown" : "hidden";
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
    void init() { harness = std::make_unique<QuickDriver::AppHarness>(); }
    void cleanup()
    {
        harness.reset();
        UploadRecordStore().remove(42);
    }

    // Every screen draws, with known symbols, and the key card arrives on each appearance.
    void eachScreenShowsItself()
    {
        QVERIFY(harness->start());
        QCOMPARE(harness->screen(), signIn);
        QVERIFY(harness->server().requests().isEmpty());
        verifyKeyCardArrives();

        harness->server().enqueue(workspaceNamed("Studio"));
        enterKey("key");
        press(Qt::Key_Return);
        QTRY_VERIFY(harness->session().hasWorkspace());
        QTRY_VERIFY(drawsSomething(harness->window()));
        const auto symbols = harness->window()->findChildren<SymbolImage *>();
        QVERIFY(!symbols.isEmpty());
        for (const SymbolImage *symbol : symbols)
            QVERIFY2(!SymbolImage::shape(symbol->name()).isEmpty(), qPrintable(symbol->name()));

        for (int appearance = 0; appearance < 2; ++appearance) {
            click(item("workspaceDisplay"));
            QCOMPARE(harness->screen(), keyChange);
            verifyKeyCardArrives();
            QuickDriver::type(harness->window(), "typed-but-cancelled");
            click(item("cancelButton"));
            QCOMPARE(harness->screen(), upload);
            QCOMPARE(harness->session().apiKey(), QString("key"));
        }
        QCOMPARE(ApiKeyPreference::read(), "key");
        QCOMPARE(harness->server().requests().size(), 1);
    }

    void launchWithAStoredKeyShowsTheUploadScreenWhileLoading()
    {
        harness->server().enqueue(workspaceNamed("Studio", 300ms));
        QVERIFY(harness->start("stored-key"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(text(item("workspaceLabel")), "Loading...");
        // The key can be changed before its workspace arrives.
        click(item("workspaceDisplay"));
        QCOMPARE(harness->screen(), keyChange);
        click(item("cancelButton"));
        QTRY_COMPARE(text(item("workspaceLabel")), "Studio");
    }

    void routing_data()
    {
        QTest::addColumn<QString>("key"); // null: none
        QTest::addColumn<bool>("editing");
        QTest::addColumn<QString>("screen");
        QTest::newRow("no key while editing") << QString() << true << signIn;
        QTest::newRow("key") << "k" << false << upload;
        QTest::newRow("key while editing") << "k" << true << keyChange;
        QTest::newRow("empty key") << "" << false << upload;
        QTest::newRow("empty key while editing") << "" << true << keyChange;
    }

    void routing()
    {
        QFETCH(QString, key);
        QFETCH(bool, editing);
        QFETCH(QString, screen);
        QVERIFY(harness->start());
        harness->app().appManager()->setEditingAPIKey(editing);
        harness->session().setApiKey(key.isNull() ? std::nullopt : std::optional<QString>(key));
        QCOMPARE(harness->screen(), screen);
    }

    void signingInShowsTheUploadScreenAtOnce()
    {
        QVERIFY(harness->start());
        harness->server().enqueue(workspaceNamed("Northwind", 300ms));
        enterKey("  pasted-key ");
        click(item("primaryButton"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(text(item("workspaceLabel")), "Loading...");
        QTRY_COMPARE(text(item("workspaceLabel")), "Northwind");
        QCOMPARE(harness->server().requests().value(0).header("X-VELLUMCAST-APPKEY"), "pasted-key");
        QCOMPARE(ApiKeyPreference::read(), "pasted-key");
    }

    void failedSignInSaysWhyOnSignIn_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("keptKey"); // in the field and the preference, for another try
        const QString rejected = QStringLiteral("That API key was not accepted.");
        QTest::newRow("stored key rejected at launch") << "launch" << 401 << rejected << "";
        QTest::newRow("key rejected") << "sign-in" << 401 << rejected << "";
        QTest::newRow("new key rejected") << "key change" << 401 << rejected << "";
        QTest::newRow("service unreachable") << "sign-in" << 503 << "Could not reach the service: " << "the-key";
    }

    void failedSignInSaysWhyOnSignIn()
    {
        QFETCH(QString, from);
        QFETCH(int, status);
        QFETCH(QString, notice);
        QFETCH(QString, keptKey);
        if (from == "launch") {
            harness->server().enqueue(ScriptedResponse::json(status, "[]"));
            QVERIFY(harness->start("the-key"));
        } else {
            if (from == "key change") {
                QVERIFY(startSignedIn("Old Workspace"));
                harness->app().appManager()->setEditingAPIKey(true);
            } else {
                QVERIFY(harness->start());
            }
            harness->server().enqueue(ScriptedResponse::json(status, "[]"));
            enterKey("the-key");
            press(Qt::Key_Return);
        }
        QTRY_COMPARE(harness->screen(), signIn);
        QVERIFY2(text(item("notice")).startsWith(notice), qPrintable(text(item("notice"))));
        QCOMPARE(text(item("apiKeyField")), keptKey);
        QCOMPARE(ApiKeyPreference::read(), keptKey);
        QVERIFY(!harness->app().appManager()->editingAPIKey());
        QTRY_VERIFY(item("apiKeyField")->hasActiveFocus());
    }

    void keyChangeStaysUntilTheNewWorkspaceHasLoaded()
    {
        QVERIFY(startSignedIn("Old Workspace"));
        click(item("workspaceDisplay"));
        QCOMPARE(harness->screen(), keyChange);
        QCOMPARE(text(item("apiKeyField")), "");

        harness->server().enqueue(workspaceNamed("New Workspace", 300ms));
        enterKey("second-key");
        click(item("primaryButton"));
        QCOMPARE(harness->screen(), keyChange);
        QCOMPARE(harness->session().apiKey(), QString("second-key"));
        QTRY_COMPARE(harness->screen(), upload);
        QCOMPARE(text(item("workspaceLabel")), "New Workspace");
        QCOMPARE(ApiKeyPreference::read(), "second-key");
        QVERIFY(!harness->app().appManager()->editingAPIKey());
    }

    void aBlankKeyCommitsNothing_data()
    {
        QTest::addColumn<bool>("changingKey");
        QTest::newRow("sign-in") << false;
        QTest::newRow("key change") << true;
    }

    void aBlankKeyCommitsNothing()
    {
        QFETCH(bool, changingKey);
        if (changingKey) {
            QVERIFY(startSignedIn("Workspace"));
            harness->app().appManager()->setEditingAPIKey(true);
        } else {
            QVERIFY(harness->start());
        }
        const QString screen = harness->screen();
        enterKey("  ");
        QVERIFY(!item("primaryButton")->isEnabled());
        press(Qt::Key_Return);
        QCOMPARE(harness->screen(), screen);
        QCOMPARE(harness->session().apiKey(), changingKey ? std::optional<QString>("first-key") : std::nullopt);
    }

    // Sign-in, format, name, file, upload and key change with the keyboard alone.
    void keyboardAloneSignsInUploadsAndChangesTheKey()
    {
        QVERIFY(harness->start());
        QAccessibleInterface *keyField = QAccessible::queryAccessibleInterface(item("apiKeyField"));
        QCOMPARE(keyField->text(QAccessible::Name), "API Key");
        QCOMPARE(keyField->role(), QAccessible::EditableText);
        harness->server().enqueue(workspaceNamed("Studio"));
        enterKey("demo-key");
        press(Qt::Key_Return);
        QTRY_COMPARE(text(item("workspaceLabel")), "Studio");

        QVERIFY(tabTo("format:2D"));
        press(Qt::Key_Space);
        QVERIFY(tabTo("videoNameField"));
        QuickDriver::type(harness->window(), "Reef");
        QVERIFY(tabTo("dropZone"));
        press(Qt::Key_Return);
        // Qt's own dialog, on the list of files or, in an empty folder, on the list itself: Ctrl+L
        // opens its location field.
        QTRY_VERIFY(focused().startsWith("fileDialog"));
        QTest::keyClick(harness->window(), Qt::Key_L, Qt::ControlModifier);
        const QUrl video = file("dive.mov");
        QuickDriver::type(harness->window(), video.toLocalFile());
        press(Qt::Key_Return);
        state = harness->uploadState();
        QTRY_COMPARE(state->selectedFile(), video);
        QCOMPARE(state->selectedFileFormat(), FileFormat::twoD);
        QCOMPARE(state->videoName(), "Reef");

        harness->server().setDefaultResponse(ScriptedResponse::stall());
        QVERIFY(tabTo("uploadButton"));
        press(Qt::Key_Return);
        QVERIFY(state->isUploading());
        QTRY_COMPARE(harness->server().requests().size(), 2);
        QCOMPARE(harness->server().requests().value(1).header("X-VELLUMCAST-APPKEY"), "demo-key");

        // The question first; Return keeps the upload, its default.
        QVERIFY(tabTo("workspaceDisplay"));
        press(Qt::Key_Return);
        QTRY_COMPARE(focused(), "keepUploadingButton");
        press(Qt::Key_Return);
        QVERIFY(state->isUploading());
        QVERIFY(tabTo("workspaceDisplay"));
        press(Qt::Key_Space);
        QTRY_COMPARE(focused(), "keepUploadingButton");
        press(Qt::Key_Tab);
        QCOMPARE(focused(), "cancelUploadButton");
        press(Qt::Key_Return);
        QCOMPARE(harness->screen(), keyChange);
        QVERIFY(!harness->app().appManager()->uploadInProgress());

        // Escape leaves the key change without committing what was typed.
        enterKey("typed");
        press(Qt::Key_Escape);
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(harness->session().apiKey(), QString("demo-key"));
        QCOMPARE(harness->server().requests().size(), 2);
    }

    void aRunningUploadEndsOnlyOnTheUsersWord_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<QString>("answer");
        for (const char *trigger : {"header click", "window close", "quit shortcut"}) {
            QTest::addRow("%s, keep uploading", trigger) << QString(trigger) << "keepUploadingButton";
            QTest::addRow("%s, escape", trigger) << QString(trigger) << "escape";
            QTest::addRow("%s, cancel upload", trigger) << QString(trigger) << "cancelUploadButton";
        }
    }

    void aRunningUploadEndsOnlyOnTheUsersWord()
    {
        QFETCH(QString, trigger);
        QFETCH(QString, answer);
        QVERIFY(startSignedIn("Studio"));
        // The key change takes the screen, and its state, away.
        QPointer<FileUploaderState> uploader = state;
        uploader->setSelectedFile(file("dive.mov"));
        uploader->setVideoName("Reef");
        uploader->startUpload();
        QTRY_COMPARE(harness->server().requests().size(), 2);

        const bool keyChangeAsked = trigger == "header click";
        if (keyChangeAsked)
            click(item("workspaceDisplay"));
        else if (trigger == "window close")
            harness->window()->close();
        else
            QTest::keyClick(harness->window(), Qt::Key_Q, Qt::ControlModifier);
        QObject *dialog = harness->window()->findChild<QObject *>("uploadInProgressDialog");
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(text(item("uploadInProgressQuestion")),
                 keyChangeAsked ? "An upload is in progress. Cancel it and change the key?"
                                : "An upload is in progress. Cancel it and quit?");
        QVERIFY(uploader->isUploading());
        QVERIFY(harness->window()->isVisible());
        QCOMPARE(harness->screen(), upload);

        const bool confirm = answer == "cancelUploadButton";
        if (answer == "escape")
            press(Qt::Key_Escape);
        else
            click(item(answer));
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QCOMPARE(harness->app().appManager()->uploadInProgress(), !confirm);
        QCOMPARE(harness->window()->isVisible(), !confirm || keyChangeAsked);
        QCOMPARE(harness->screen(), confirm && keyChangeAsked ? keyChange : upload);
        if (uploader)
            QCOMPARE(uploader->isUploading(), !confirm);
    }

    void checkForUpdatesReportsTheOutcome()
    {
        QVERIFY(harness->start());
        harness->server().setDefaultResponse(ScriptedResponse::json(404, ""));
        QVERIFY(QMetaObject::invokeMethod(item("checkForUpdatesItem"), "triggered"));
        QTRY_COMPARE(harness->app().updaterManager()->outcome(), UpdaterManager::Outcome::Failed);
        QCOMPARE(harness->server().requests().value(0).path(), "/appcast.xml");
        QTRY_VERIFY(harness->window()->findChild<QObject *>("updateReportDialog")->property("opened").toBool());
    }
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
        QVERIFY(startSignedIn());
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
            press(Qt::Key_Backspace);
        QCOMPARE(state->videoName(), QString());
        QVERIFY(!uploadEnabled());
    }

    void dropsTakeTheFirstLocalFileOnly()
    {
        QVERIFY(startSignedIn());
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
        QVERIFY(startSignedIn());
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
        QVERIFY(startSignedIn());
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
            press(Qt::Key_Tab);
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
        // The defaults read as chosen before anything is clicked.
        const int radio = QAccessible::RadioButton;
        QTest::newRow("format, default") << QString() << "format:Stereoscopic Left/Right" << radio
                                         << "Stereoscopic Left/Right";
        QTest::newRow("format") << QString() << "format:2D" << radio << "2D";
        QTest::newRow("perspective, default") << QString() << "perspective:60" << radio << "60°";
        QTest::newRow("perspective") << QString() << "perspective:180" << radio << "180°";
        QTest::newRow("upload") << twoD << "uploadButton" << button << "Upload";
        QTest::newRow("status") << twoD << "statusLine" << int(QAccessible::StatusBar) << "Ready to upload";
        QTest::newRow("progress") << twoD << "progressBar" << int(QAccessible::ProgressBar) << "Upload progress";
        QTest::newRow("cancel") << twoD << "cancelButton" << button << "Cancel upload";
    }

    void controlsHaveAccessibleNamesAndRoles()
    {
        QVERIFY(startSignedIn());
        QFETCH(QString, format);
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        if (!format.isEmpty())
            clickFormat(format);
        QQuickItem *target = control.contains('/') && !control.contains(':')
                ? item(control.section('/', 0, 0), control.section('/', 1))
                : item(control);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(target);
        QVERIFY(accessible);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (control.contains(':'))
            QCOMPARE(accessible->state().checked, name.startsWith("Stereoscopic Left") || name == "60°");
    }

    void everyButtonAnswersAScreenReadersPress_data()
    {
        QTest::addColumn<QString>("setup"); // what the screen holds before the press
        QTest::addColumn<QString>("control"); // [picker/]objectName
        QTest::addColumn<QString>("probe"); // what the press changes; see probed()
        QTest::addColumn<QString>("outcome");
        QTest::newRow("format") << "" << "format:Spatial (MV-HEVC)" << "format" << FileFormat::spatial;
        QTest::newRow("perspective") << "" << "perspective:360" << "perspective" << "360";
        QTest::newRow("drop zone") << "" << "dropZone" << "dialog" << "singleFilePicker";
        QTest::newRow("eye") << "separate" << "rightEyePicker/browseButton" << "dialog" << "rightEyePicker";
        QTest::newRow("choose") << "immersive" << "fcpxmlPicker/chooseButton" << "dialog" << "fcpxmlPicker";
        QTest::newRow("clear") << "file" << "singleFilePicker/clearFileButton" << "status" << "Ready to upload";
        QTest::newRow("clear eye") << "eye file" << "leftEyePicker/clearFileButton" << "left file" << "";
        QTest::newRow("details") << "" << "detailsButton" << "details" << "hidden";
        QTest::newRow("upload, empty form") << "" << "uploadButton" << "status" << "Select a file and enter a name.";
        QTest::newRow("upload, eye missing")
                << "eye file" << "uploadButton" << "status" << "Select both files and enter a name.";
        QTest::newRow("upload") << "named file" << "uploadButton" << "status" << "Uploading…";
        QTest::newRow("cancel") << "uploading" << "cancelButton" << "status" << "Upload canceled";
        QTest::newRow("resume") << "interrupted" << "resumeUploadButton" << "status" << "Uploading…";
        QTest::newRow("discard") << "interrupted" << "discardUploadButton" << "status" << "Ready to upload";
        QTest::newRow("workspace") << "" << "workspaceDisplay" << "screen" << keyChange;
        QTest::newRow("change key") << "key change" << "primaryButton" << "key" << "typed-key";
        QTest::newRow("key change cancel") << "key change" << "cancelButton" << "screen" << upload;
        QTest::newRow("sign in") << "signed out" << "primaryButton" << "screen" << upload;
    }

    // As a screen reader does through AT-SPI: Press on the control's action interface.
    void everyButtonAnswersAScreenReadersPress()
    {
        QFETCH(QString, setup);
        QFETCH(QString, control);
        QFETCH(QString, probe);
        QFETCH(QString, outcome);
        if (setup == "interrupted") {
            RunFile video;
            video.file = file("dive.mov");
            video.session = BackblazePayload{"upload", "dive.mov", 8, "http://store.test/dive.mov", "http://store.test/done",
                                             {{"http://store.test/1", 1}, {"http://store.test/2", 2}}};
            video.storedParts = {{1, "\"etag\"", 0, 8}};
            const UploadPlan plan{"Reef", FileFormat::twoD, "60", {video.file}, {}, {}};
            QVERIFY(UploadRecordStore().save(UploadRecord{42, plan, {video}, false}));
        }
        if (setup == "signed out") {
            QVERIFY(harness->start());
            harness->server().setDefaultResponse(workspaceNamed("Studio"));
            enterKey("k");
        } else {
            QVERIFY(startSignedIn());
        }
        if (setup == "separate" || setup == "eye file")
            clickFormat(FileFormat::separate);
        if (setup == "immersive")
            clickFormat(FileFormat::appleImmersive);
        if (setup == "eye file")
            choose("leftEyePicker", file("left.mov"));
        if (setup == "file" || setup == "named file" || setup == "uploading")
            choose("singleFilePicker", file("dive.mov"));
        if (setup == "named file" || setup == "uploading")
            typeName("Reef");
        if (setup == "uploading")
            click(item("uploadButton"));
        if (setup == "key change") {
            click(item("workspaceDisplay"));
            enterKey("typed-key");
        }

        QQuickItem *target = control.contains('/') && !control.contains(':')
                ? item(control.section('/', 0, 0), control.section('/', 1))
                : item(control);
        QVERIFY(target && target->isVisible());
        // Read as drawn: Upload alone is disabled, until its form is complete.
        QCOMPARE(QAccessible::queryAccessibleInterface(target)->state().disabled,
                 control == "uploadButton" && setup != "named file");
        QAccessibleActionInterface *actions = QAccessible::queryAccessibleInterface(target)->actionInterface();
        QVERIFY(actions && actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
        QVERIFY(probed(probe) != outcome);
        actions->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(probed(probe), outcome);
        if (control.contains(':'))
            QVERIFY(QAccessible::queryAccessibleInterface(target)->state().checked);
    }

    // A screen reader that keeps what it read hears Upload become available, and unavailable again.
    void uploadAnnouncesEachChangeOfItsEnabledState()
    {
        QVERIFY(startSignedIn());
        QQuickItem *upload = item("uploadButton");
        QVERIFY(QAccessible::queryAccessibleInterface(upload)->state().disabled);
        // Changes are announced only while the platform's bridge listens, as it does for a screen
        // reader. Switched on once the window is built: Qt 6.4's radio buttons leak an attached
        // object when built while it listens.
        QPlatformAccessibility *bridge = QGuiApplicationPrivate::platformIntegration()->accessibility();
        bridge->setActive(true);
        announcedEnabledChanges.clear();
        const QAccessible::UpdateHandler platformHandler = QAccessible::installUpdateHandler(recordEnabledChange);
        choose("singleFilePicker", file("dive.mov"));
        typeName("Reef");
        const bool enabledAnnounced = announcedEnabledChanges.count(upload) == 1
                && !QAccessible::queryAccessibleInterface(upload)->state().disabled;
        click(item("singleFilePicker", "clearFileButton"));
        const bool disabledAnnounced = announcedEnabledChanges.count(upload) == 2
                && QAccessible::queryAccessibleInterface(upload)->state().disabled;
        QAccessible::installUpdateHandler(platformHandler);
        bridge->setActive(false);
        QAccessible::setActive(true);
        QVERIFY(enabledAnnounced);
        QVERIFY(disabledAnnounced);
    }

    void theWholeFormShowsAtTheDefaultSize_data()
    {
        QTest::addColumn<QString>("format");
        for (const QString &format : FileFormat::fileFormatOptions())
            QTest::newRow(qPrintable(format)) << format;
    }

    // With the details shown, on a screen of 1920 × 1080: no need to find out that the form scrolls.
    void theWholeFormShowsAtTheDefaultSize()
    {
        QFETCH(QString, format);
        QVERIFY(startSignedIn());
        QVERIFY(harness->window()->width() >= 900 && harness->window()->height() >= 600);
        clickFormat(format);
        QVERIFY(state->showDetails());
        QQuickItem *formScroll = item("formScroll");
        QQuickItem *button = item("uploadButton");
        QTRY_COMPARE(item("videoInformationSlot")->height(), 20 + item("videoInformation")->height());
        const QRectF inForm = button->mapRectToItem(formScroll, QRectF(0, 0, button->width(), button->height()));
        QVERIFY2(inForm.top() >= 0 && inForm.bottom() <= formScroll->height(),
                 qPrintable(QString("button at %1 to %2 of %3").arg(inForm.top()).arg(inForm.bottom()).arg(formScroll->height())));
        const QRectF inWindow = formScroll->mapRectToScene(QRectF(0, 0, formScroll->width(), formScroll->height()));
        QVERIFY(inWindow.bottom() <= harness->window()->height());
    }

    void dialogsStartWhereVideosAreThenInTheLastFolder_data()
    {
        QTest::addColumn<bool>("videosFolder");
        QTest::newRow("videos folder") << true;
        QTest::newRow("no videos folder") << false;
    }

    void dialogsStartWhereVideosAreThenInTheLastFolder()
    {
        QFETCH(bool, videosFolder);
        QDir videos(QDir::home().filePath("Videos"));
        QVERIFY(videosFolder ? videos.mkpath(".") : videos.removeRecursively());
        QVERIFY(startSignedIn());
        const auto startFolder = [this](const QString &picker, const QString &button) {
            QAccessible::queryAccessibleInterface(item(picker, button))
                    ->actionInterface()
                    ->doAction(QAccessibleActionInterface::pressAction());
            QObject *opened = dialog(picker);
            QMetaObject::invokeMethod(opened, "reject");
            return opened->property("currentFolder").toUrl();
        };
        QCOMPARE(startFolder("singleFilePicker", "dropZone"),
                 QUrl::fromLocalFile(videosFolder ? videos.path() : QDir::homePath()));
        choose("singleFilePicker", file("dive.mov"));
        clickFormat(FileFormat::appleImmersive);
        QCOMPARE(startFolder("aimePicker", "chooseButton"), QUrl::fromLocalFile(folder.path()));
    }

    void hidingDetailsHidesTheFormAndTheLogButKeepsTheName()
    {
        QVERIFY(startSignedIn());
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
        QVERIFY(startSignedIn());
        typeName("Reef");
        press(Qt::Key_Return);
        QVERIFY(!state->isUploading());
        QVERIFY(!shown(item("progressBar")) && !shown(item("cancelButton")));
        choose("singleFilePicker", file("dive.mov"));
        click(item("videoNameField"));
        press(Qt::Key_Return);
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
        QVERIFY(startSignedIn());
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

QTEST_MAIN(ScreensTest)
#include "tst_screens.moc"
