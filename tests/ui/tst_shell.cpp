#include "ApiKeyPreference.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"

#include <QAccessible>
#include <QFile>
#include <QPointer>
#include <QQmlListReference>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;
using QuickDriver::AppHarness;

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

QString text(QQuickItem *item)
{
    return item ? item->property("text").toString() : QString();
}
}

// The window as a whole: which screen it shows for which session state, and how signing in,
// changing and cancelling the key move between the screens.
class ShellTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppHarness> harness;
    QTemporaryDir folder;

    bool start(const QString &storedKey = QString())
    {
        harness = std::make_unique<AppHarness>();
        return harness->start(storedKey);
    }

    // Signed in with a loaded workspace, on the upload screen.
    bool startSignedIn(const QByteArray &workspace)
    {
        harness = std::make_unique<AppHarness>();
        harness->server().enqueue(workspaceNamed(workspace));
        if (!harness->start(QStringLiteral("first-key")))
            return false;
        return QTest::qWaitFor([this] { return harness->session().hasWorkspace(); });
    }

    void enterKey(const QString &key)
    {
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
        QuickDriver::type(harness->window(), key);
    }

    QUrl videoFile()
    {
        QFile file(folder.filePath("dive.mov"));
        if (!file.open(QIODevice::WriteOnly) || file.write("video bytes") != 11)
            return {};
        return QUrl::fromLocalFile(file.fileName());
    }

    FileUploaderState *uploadState() const
    {
        return harness->item("fileUploaderView")->property("uploaderState").value<FileUploaderState *>();
    }

    // Presses Tab until the control called `objectName` has the focus.
    bool tabTo(const QString &objectName)
    {
        for (int step = 0; step < 40; ++step) {
            const QQuickItem *focused = harness->window()->activeFocusItem();
            if (focused && focused->objectName() == objectName)
                return true;
            QuickDriver::press(harness->window(), Qt::Key_Tab);
        }
        return false;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
    }
    void cleanup() { harness.reset(); }

    void launchWithoutAStoredKeyShowsSignIn()
    {
        QVERIFY(start());
        QCOMPARE(harness->screen(), signIn);
        QCOMPARE(harness->window()->title(), QCoreApplication::applicationName());
        QVERIFY(harness->server().requests().isEmpty());
    }

    void launchWithAStoredKeyShowsTheUploadScreenWhileLoading()
    {
        harness = std::make_unique<AppHarness>();
        harness->server().enqueue(workspaceNamed("Studio", 300ms));
        QVERIFY(harness->start("stored-key"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(text(harness->item("workspaceLabel")), "Loading...");
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Studio");
    }

    void failedLoadAtLaunchReturnsToSignIn()
    {
        harness = std::make_unique<AppHarness>();
        harness->server().enqueue(ScriptedResponse::json(401, "[]"));
        QVERIFY(harness->start("revoked-key"));
        QTRY_COMPARE(harness->screen(), signIn);
        QCOMPARE(text(harness->item("notice")), "That API key was not accepted.");
    }

    void routing_data()
    {
        QTest::addColumn<bool>("hasKey");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("editing");
        QTest::addColumn<QString>("screen");
        QTest::newRow("no key") << false << QString() << false << signIn;
        QTest::newRow("no key while editing") << false << QString() << true << signIn;
        QTest::newRow("key") << true << "k" << false << upload;
        QTest::newRow("key while editing") << true << "k" << true << keyChange;
        QTest::newRow("empty key") << true << "" << false << upload;
        QTest::newRow("empty key while editing") << true << "" << true << keyChange;
    }

    void routing()
    {
        QFETCH(bool, hasKey);
        QFETCH(QString, key);
        QFETCH(bool, editing);
        QFETCH(QString, screen);
        QVERIFY(start());
        harness->app().appManager()->setEditingAPIKey(editing);
        harness->session().setApiKey(hasKey ? std::optional<QString>(key) : std::nullopt);
        QCOMPARE(harness->screen(), screen);
    }

    void signingInShowsTheUploadScreenAtOnce()
    {
        QVERIFY(start());
        harness->server().enqueue(workspaceNamed("Northwind", 300ms));
        enterKey("demo-key");
        QuickDriver::click(harness->item("primaryButton"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(text(harness->item("workspaceLabel")), "Loading...");
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Northwind");
        QCOMPARE(harness->server().requests().value(0).header("X-VELLUMCAST-APPKEY"), "demo-key");
        QCOMPARE(ApiKeyPreference::read(), "demo-key");
    }

    void signingInTakesTheKeyWithoutSurroundingBlanks()
    {
        QVERIFY(start());
        harness->server().enqueue(workspaceNamed("Northwind"));
        enterKey("  pasted-key ");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_VERIFY(harness->session().hasWorkspace());
        QCOMPARE(harness->server().requests().value(0).header("X-VELLUMCAST-APPKEY"), "pasted-key");
        QCOMPARE(ApiKeyPreference::read(), "pasted-key");
    }

    void rejectedKeyBringsSignInBackEmptyAndSaysWhy()
    {
        QVERIFY(start());
        harness->server().enqueue(ScriptedResponse::json(401, "{\"error\":\"Invalid API key\"}"));
        enterKey("wrong-key");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_COMPARE(harness->screen(), signIn);
        QCOMPARE(text(harness->item("notice")), "That API key was not accepted.");
        QCOMPARE(text(harness->item("apiKeyField")), "");
        QCOMPARE(ApiKeyPreference::read(), "");
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
    }

    void unreachableServiceKeepsTheKeyForAnotherTry()
    {
        QVERIFY(start());
        harness->server().enqueue(ScriptedResponse::json(503, ""));
        enterKey("good-key");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_COMPARE(harness->screen(), signIn);
        QVERIFY(text(harness->item("notice")).startsWith("Could not reach the service: "));
        QVERIFY(text(harness->item("notice")).contains("503"));
        QCOMPARE(text(harness->item("apiKeyField")), "good-key");
        QVERIFY(harness->item("primaryButton")->isEnabled());

        harness->server().enqueue(workspaceNamed("Back Online"));
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QCOMPARE(harness->screen(), upload);
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Back Online");
        QCOMPARE(harness->server().requests().size(), 2);
    }

    void keyChangeStaysUntilTheNewWorkspaceHasLoaded()
    {
        QVERIFY(startSignedIn("Old Workspace"));
        QuickDriver::click(harness->item("workspaceDisplay"));
        QCOMPARE(harness->screen(), keyChange);
        QCOMPARE(text(harness->item("apiKeyField")), "");

        harness->server().enqueue(workspaceNamed("New Workspace", 300ms));
        enterKey("second-key");
        QuickDriver::click(harness->item("primaryButton"));
        QCOMPARE(harness->screen(), keyChange);
        QCOMPARE(harness->session().apiKey(), QString("second-key"));
        QTRY_COMPARE(harness->screen(), upload);
        QCOMPARE(text(harness->item("workspaceLabel")), "New Workspace");
        QCOMPARE(ApiKeyPreference::read(), "second-key");
        QVERIFY(!harness->app().appManager()->editingAPIKey());
    }

    void rejectedKeyChangeEndsOnSignInAndLeavesEditing()
    {
        QVERIFY(startSignedIn("Old Workspace"));
        harness->app().appManager()->setEditingAPIKey(true);
        harness->server().enqueue(ScriptedResponse::json(401, "[]"));
        enterKey("bad-key");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_COMPARE(harness->screen(), signIn);
        QTRY_VERIFY(!harness->app().appManager()->editingAPIKey());
    }

    void cancelLeavesTheKeyAsItWas()
    {
        QVERIFY(startSignedIn("Kept Workspace"));
        harness->app().appManager()->setEditingAPIKey(true);
        enterKey("typed-but-cancelled");
        QuickDriver::click(harness->item("cancelButton"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(harness->session().apiKey(), QString("first-key"));
        QCOMPARE(ApiKeyPreference::read(), "first-key");
        QCOMPARE(text(harness->item("workspaceLabel")), "Kept Workspace");
        QCOMPARE(harness->server().requests().size(), 1);
    }

    void returnInAnEmptyFieldDoesNothing_data()
    {
        QTest::addColumn<bool>("changingKey");
        QTest::newRow("sign-in") << false;
        QTest::newRow("key change") << true;
    }

    void returnInAnEmptyFieldDoesNothing()
    {
        QFETCH(bool, changingKey);
        if (changingKey) {
            QVERIFY(startSignedIn("Workspace"));
            harness->app().appManager()->setEditingAPIKey(true);
        } else {
            QVERIFY(start());
        }
        const QString screen = harness->screen();
        enterKey("  ");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTest::qWait(100);
        QCOMPARE(harness->screen(), screen);
        QCOMPARE(harness->server().requests().size(), changingKey ? 1 : 0);
        QCOMPARE(ApiKeyPreference::read(), changingKey ? "first-key" : "");
    }

    void primaryButtonNeedsAKey_data()
    {
        QTest::addColumn<bool>("changingKey");
        QTest::addColumn<QString>("label");
        QTest::newRow("sign-in") << false << "Set API Key";
        QTest::newRow("key change") << true << "Change API Key";
    }

    void primaryButtonNeedsAKey()
    {
        QFETCH(bool, changingKey);
        QFETCH(QString, label);
        if (changingKey) {
            QVERIFY(startSignedIn("Workspace"));
            harness->app().appManager()->setEditingAPIKey(true);
        } else {
            QVERIFY(start());
        }
        QQuickItem *button = harness->item("primaryButton");
        QCOMPARE(text(button), label);
        QVERIFY(!button->isEnabled());
        enterKey("k");
        QVERIFY(button->isEnabled());
        QuickDriver::press(harness->window(), Qt::Key_Backspace);
        QVERIFY(!button->isEnabled());
        QuickDriver::type(harness->window(), " ");
        QVERIFY(!button->isEnabled());
        QCOMPARE(harness->item("cancelButton")->isVisible(), changingKey);
        QVERIFY(harness->item("cancelButton")->isEnabled());
    }

    // Nothing but the background first, the field focused before the card and form arrive.
    void entranceAnimationRunsOnEveryAppearance()
    {
        QVERIFY(startSignedIn("Workspace"));
        for (int appearance = 0; appearance < 2; ++appearance) {
            harness->app().appManager()->setEditingAPIKey(true);
            QQuickItem *panel = harness->item("keyFormPanel");
            QQuickItem *form = harness->item("keyForm");
            QQuickItem *field = harness->item("apiKeyField");
            QCOMPARE(panel->opacity(), 0.0);
            QCOMPARE(panel->scale(), 0.95);
            qreal opacityWhenFocused = -1;
            connect(field, &QQuickItem::activeFocusChanged, panel,
                    [&] { opacityWhenFocused = panel->opacity(); });
            QTRY_VERIFY(field->hasActiveFocus());
            QCOMPARE(opacityWhenFocused, 0.0);
            QTRY_COMPARE(panel->opacity(), 1.0);
            QTRY_COMPARE(panel->scale(), 1.0);
            QTRY_COMPARE(form->opacity(), 1.0);
            QTRY_COMPARE(harness->item("logo")->scale(), 1.0);
            QuickDriver::click(harness->item("cancelButton"));
            QCOMPARE(harness->screen(), upload);
        }
    }

    // Sign-in, format, name, file, upload and key change with the keyboard alone.
    void keyboardAloneSignsInUploadsAndChangesTheKey()
    {
        QVERIFY(start());
        QAccessibleInterface *keyField = QAccessible::queryAccessibleInterface(harness->item("apiKeyField"));
        QCOMPARE(keyField->text(QAccessible::Name), "API Key");
        QCOMPARE(keyField->role(), QAccessible::EditableText);
        harness->server().enqueue(workspaceNamed("Studio"));
        enterKey("demo-key");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Studio");

        QVERIFY(tabTo("format:2D"));
        QuickDriver::press(harness->window(), Qt::Key_Space);
        QVERIFY(tabTo("videoNameField"));
        QuickDriver::type(harness->window(), "Reef");
        QVERIFY(tabTo("dropZone"));
        QuickDriver::press(harness->window(), Qt::Key_Return);
        // Qt's own dialog: Ctrl+L opens its location field.
        QTRY_COMPARE(harness->window()->activeFocusItem()->objectName(), "fileDialogDelegate0");
        QTest::keyClick(harness->window(), Qt::Key_L, Qt::ControlModifier);
        const QUrl video = videoFile();
        QuickDriver::type(harness->window(), video.toLocalFile());
        QuickDriver::press(harness->window(), Qt::Key_Return);
        FileUploaderState *state = uploadState();
        QTRY_COMPARE(state->selectedFile(), video);
        QCOMPARE(state->selectedFileFormat(), FileFormat::twoD);
        QCOMPARE(state->videoName(), "Reef");

        harness->server().setDefaultResponse(ScriptedResponse::stall());
        QVERIFY(tabTo("uploadButton"));
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QVERIFY(state->isUploading());
        QTRY_COMPARE(harness->server().requests().size(), 2);
        QCOMPARE(harness->server().requests().value(1).header("X-VELLUMCAST-APPKEY"), "demo-key");

        // The question first; Return keeps the upload, its default.
        QVERIFY(tabTo("workspaceDisplay"));
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QTRY_COMPARE(harness->window()->activeFocusItem()->objectName(), "keepUploadingButton");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QVERIFY(state->isUploading());
        QVERIFY(tabTo("workspaceDisplay"));
        QuickDriver::press(harness->window(), Qt::Key_Space);
        QTRY_COMPARE(harness->window()->activeFocusItem()->objectName(), "keepUploadingButton");
        QuickDriver::press(harness->window(), Qt::Key_Tab);
        QCOMPARE(harness->window()->activeFocusItem()->objectName(), "cancelUploadButton");
        QuickDriver::press(harness->window(), Qt::Key_Return);
        QCOMPARE(harness->screen(), keyChange);
        QVERIFY(!harness->app().appManager()->uploadInProgress());

        // Escape leaves the key change without committing what was typed.
        enterKey("typed");
        QuickDriver::press(harness->window(), Qt::Key_Escape);
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(harness->session().apiKey(), QString("demo-key"));
        QCOMPARE(harness->server().requests().size(), 2);
    }

    void aRunningUploadEndsOnlyOnTheUsersWord_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<bool>("confirm");
        for (const char *trigger : {"header click", "window close", "quit shortcut"}) {
            QTest::addRow("%s, keep uploading", trigger) << QString(trigger) << false;
            QTest::addRow("%s, cancel upload", trigger) << QString(trigger) << true;
        }
    }

    void aRunningUploadEndsOnlyOnTheUsersWord()
    {
        QFETCH(QString, trigger);
        QFETCH(bool, confirm);
        QVERIFY(startSignedIn("Studio"));
        harness->server().setDefaultResponse(ScriptedResponse::stall());
        QPointer<FileUploaderState> state = uploadState();
        state->setSelectedFile(videoFile());
        state->setVideoName("Reef");
        state->startUpload();
        QTRY_COMPARE(harness->server().requests().size(), 2);

        const bool keyChangeAsked = trigger == "header click";
        if (keyChangeAsked)
            QuickDriver::click(harness->item("workspaceDisplay"));
        else if (trigger == "window close")
            harness->window()->close();
        else
            QTest::keyClick(harness->window(), Qt::Key_Q, Qt::ControlModifier);
        QObject *dialog = harness->window()->findChild<QObject *>("uploadInProgressDialog");
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(text(harness->item("uploadInProgressQuestion")),
                 keyChangeAsked ? "An upload is in progress. Cancel it and change the key?"
                                : "An upload is in progress. Cancel it and quit?");
        QVERIFY(state->isUploading());
        QVERIFY(harness->window()->isVisible());
        QCOMPARE(harness->screen(), upload);

        QuickDriver::click(harness->item(confirm ? "cancelUploadButton" : "keepUploadingButton"));
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QCOMPARE(harness->app().appManager()->uploadInProgress(), !confirm);
        QCOMPARE(harness->window()->isVisible(), !confirm || keyChangeAsked);
        QCOMPARE(harness->screen(), confirm && keyChangeAsked ? keyChange : upload);
        if (state)
            QCOMPARE(state->isUploading(), !confirm);
    }

    void menuChecksForUpdatesAndHasNoSettings()
    {
        QVERIFY(start());
        harness->server().setDefaultResponse(ScriptedResponse::json(404, ""));
        QObject *menuBar = harness->window()->property("menuBar").value<QObject *>();
        QVERIFY(menuBar);
        const QQmlListReference menus(menuBar, "menus");
        QCOMPARE(menus.count(), 1);
        QObject *menu = menus.at(0);
        QStringList entries;
        QQuickItem *checkItem = nullptr;
        for (int i = 0; i < menu->property("count").toInt(); ++i) {
            QQuickItem *entry = nullptr;
            QMetaObject::invokeMethod(menu, "itemAt", Q_RETURN_ARG(QQuickItem *, entry), Q_ARG(int, i));
            const QString label = entry->property("text").toString();
            if (!label.isEmpty())
                entries.append(label);
            if (label == "Check For Updates")
                checkItem = entry;
        }
        QCOMPARE(entries, QStringList({"Check For Updates", "Quit"}));
        QVERIFY(checkItem);
        QMetaObject::invokeMethod(checkItem, "triggered");
        UpdaterManager *updater = harness->app().updaterManager();
        QVERIFY(updater->isReportVisible());
        QTRY_COMPARE(updater->outcome(), UpdaterManager::Outcome::Failed);
        QCOMPARE(harness->server().requests().value(0).path(), "/appcast.xml");
        QObject *dialog = harness->window()->findChild<QObject *>("updateReportDialog");
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("opened").toBool());
    }
};

QTEST_MAIN(ShellTest)
#include "tst_shell.moc"
