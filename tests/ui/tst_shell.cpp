#include "ApiKeyPreference.h"
#include "FileFormat.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "SymbolImage.h"

#include <QAccessible>
#include <QFile>
#include <QPointer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;
using QuickDriver::AppHarness;
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
}

// The window as a whole: which screen it shows for which session state, and how signing in,
// changing and cancelling the key move between the screens.
class ShellTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppHarness> harness;
    QTemporaryDir folder;

    bool startSignedIn(const QByteArray &workspace)
    {
        harness->server().enqueue(workspaceNamed(workspace));
        return harness->startSignedIn(QStringLiteral("first-key"));
    }

    void enterKey(const QString &key)
    {
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
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
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
        QTRY_COMPARE(harness->item("keyFormPanel")->opacity(), 1.0);
        QTRY_COMPARE(harness->item("keyForm")->opacity(), 1.0);
        QTRY_VERIFY(drawsSomething(harness->window()));
    }

    QUrl videoFile()
    {
        QFile file(folder.filePath("dive.mov"));
        if (!file.open(QIODevice::WriteOnly) || file.write("video bytes") != 11)
            return {};
        return QUrl::fromLocalFile(file.fileName());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
    }
    void init() { harness = std::make_unique<AppHarness>(); }
    void cleanup() { harness.reset(); }

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
            QuickDriver::click(harness->item("workspaceDisplay"));
            QCOMPARE(harness->screen(), keyChange);
            verifyKeyCardArrives();
            QuickDriver::type(harness->window(), "typed-but-cancelled");
            QuickDriver::click(harness->item("cancelButton"));
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
        QCOMPARE(text(harness->item("workspaceLabel")), "Loading...");
        // The key can be changed before its workspace arrives.
        QuickDriver::click(harness->item("workspaceDisplay"));
        QCOMPARE(harness->screen(), keyChange);
        QuickDriver::click(harness->item("cancelButton"));
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Studio");
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
        QuickDriver::click(harness->item("primaryButton"));
        QCOMPARE(harness->screen(), upload);
        QCOMPARE(text(harness->item("workspaceLabel")), "Loading...");
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Northwind");
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
            QuickDriver::click(harness->item("primaryButton"));
        }
        QTRY_COMPARE(harness->screen(), signIn);
        QVERIFY2(text(harness->item("notice")).startsWith(notice), qPrintable(text(harness->item("notice"))));
        QCOMPARE(text(harness->item("apiKeyField")), keptKey);
        QCOMPARE(ApiKeyPreference::read(), keptKey);
        QVERIFY(!harness->app().appManager()->editingAPIKey());
        QTRY_VERIFY(harness->item("apiKeyField")->hasActiveFocus());
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
        QVERIFY(!harness->item("primaryButton")->isEnabled());
        press(Qt::Key_Return);
        QCOMPARE(harness->screen(), screen);
        QCOMPARE(harness->session().apiKey(), changingKey ? std::optional<QString>("first-key") : std::nullopt);
    }

    // Sign-in, format, name, file, upload and key change with the keyboard alone.
    void keyboardAloneSignsInUploadsAndChangesTheKey()
    {
        QVERIFY(harness->start());
        QAccessibleInterface *keyField = QAccessible::queryAccessibleInterface(harness->item("apiKeyField"));
        QCOMPARE(keyField->text(QAccessible::Name), "API Key");
        QCOMPARE(keyField->role(), QAccessible::EditableText);
        harness->server().enqueue(workspaceNamed("Studio"));
        enterKey("demo-key");
        press(Qt::Key_Return);
        QTRY_COMPARE(text(harness->item("workspaceLabel")), "Studio");

        QVERIFY(tabTo("format:2D"));
        press(Qt::Key_Space);
        QVERIFY(tabTo("videoNameField"));
        QuickDriver::type(harness->window(), "Reef");
        QVERIFY(tabTo("dropZone"));
        press(Qt::Key_Return);
        // Qt's own dialog: Ctrl+L opens its location field.
        QTRY_COMPARE(focused(), "fileDialogDelegate0");
        QTest::keyClick(harness->window(), Qt::Key_L, Qt::ControlModifier);
        const QUrl video = videoFile();
        QuickDriver::type(harness->window(), video.toLocalFile());
        press(Qt::Key_Return);
        FileUploaderState *state = harness->uploadState();
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
        harness->server().setDefaultResponse(ScriptedResponse::stall());
        QPointer<FileUploaderState> state = harness->uploadState();
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

        const bool confirm = answer == "cancelUploadButton";
        if (answer == "escape")
            press(Qt::Key_Escape);
        else
            QuickDriver::click(harness->item(answer));
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QCOMPARE(harness->app().appManager()->uploadInProgress(), !confirm);
        QCOMPARE(harness->window()->isVisible(), !confirm || keyChangeAsked);
        QCOMPARE(harness->screen(), confirm && keyChangeAsked ? keyChange : upload);
        if (state)
            QCOMPARE(state->isUploading(), !confirm);
    }

    void checkForUpdatesReportsTheOutcome()
    {
        QVERIFY(harness->start());
        harness->server().setDefaultResponse(ScriptedResponse::json(404, ""));
        QVERIFY(QMetaObject::invokeMethod(harness->item("checkForUpdatesItem"), "triggered"));
        QTRY_COMPARE(harness->app().updaterManager()->outcome(), UpdaterManager::Outcome::Failed);
        QCOMPARE(harness->server().requests().value(0).path(), "/appcast.xml");
        QTRY_VERIFY(harness->window()->findChild<QObject *>("updateReportDialog")->property("opened").toBool());
    }
};

QTEST_MAIN(ShellTest)
#include "tst_shell.moc"
