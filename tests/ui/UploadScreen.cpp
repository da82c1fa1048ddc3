#include "UploadScreen.h"

#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "Workspace.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QQmlEngine>
#include <QTest>

UploadScreen::UploadScreen(const QString &apiUrl)
    : m_session(std::make_unique<SessionManager>(APIService(apiUrl)))
    , m_appManager(std::make_unique<AppManager>())
    , m_state(std::make_unique<FileUploaderState>(APIService(apiUrl)))
{
    m_session->setApiKey(apiKey);
    m_state->setSessionManager(m_session.get());
    m_state->setAppManager(m_appManager.get());
}

UploadScreen::~UploadScreen()
{
    m_view.reset();
}

bool UploadScreen::show(const QString &workspaceName)
{
    std::optional<Workspace> workspace = Workspace::fromJson(ServiceFixtures::workspaceObject());
    if (!workspace)
        return false;
    workspace->workspaceName = workspaceName;
    m_session->setWorkspaceData(workspace);

    m_view = std::make_unique<QQuickView>();
    m_view->engine()->addImportPath(QStringLiteral("qrc:/qt/qml"));
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    m_view->setInitialProperties({
        {QStringLiteral("sessionManager"), QVariant::fromValue(m_session.get())},
        {QStringLiteral("appManager"), QVariant::fromValue(m_appManager.get())},
        {QStringLiteral("uploaderState"), QVariant::fromValue(m_state.get())},
    });
    m_view->setSource(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/FileUploaderView.qml")));
    if (m_view->status() != QQuickView::Ready || !m_view->rootObject())
        return false;
    m_view->resize(960, 700);
    m_view->show();
    m_view->requestActivate();
    return QTest::qWaitForWindowExposed(m_view.get());
}

QQuickItem *UploadScreen::item(const QString &objectName) const
{
    return QuickDriver::item(m_view.get(), objectName);
}

QQuickItem *UploadScreen::item(const QString &within, const QString &objectName) const
{
    QQuickItem *outer = item(within);
    return outer ? QuickDriver::item(outer, objectName) : nullptr;
}

QObject *UploadScreen::dialog(const QString &picker) const
{
    QQuickItem *pickerItem = item(picker);
    return pickerItem ? pickerItem->findChild<QObject *>(QStringLiteral("fileDialog")) : nullptr;
}

void UploadScreen::closeDialog(const QString &picker, const QUrl &file, bool confirm) const
{
    QObject *fileDialog = dialog(picker);
    QVERIFY(fileDialog);
    // The dialog starts out on the file it was given, as if the user had picked it there.
    QVERIFY(fileDialog->setProperty("selectedFile", file));
    QVERIFY(QMetaObject::invokeMethod(fileDialog, "open"));
    QVERIFY(fileDialog->property("visible").toBool());
    QVERIFY(QMetaObject::invokeMethod(fileDialog, confirm ? "accept" : "reject"));
    QVERIFY(!fileDialog->property("visible").toBool());
}

static QPoint centreOf(QQuickItem *target)
{
    return target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint();
}

bool UploadScreen::dragEnter(QQuickItem *target, const QList<QUrl> &files)
{
    m_dragData = std::make_unique<QMimeData>();
    m_dragData->setUrls(files);
    QDragEnterEvent enter(centreOf(target), Qt::CopyAction, m_dragData.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_view.get(), &enter);
    return enter.isAccepted();
}

void UploadScreen::dragLeave()
{
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(m_view.get(), &leave);
    m_dragData.reset();
}

bool UploadScreen::drop(QQuickItem *target, const QList<QUrl> &files)
{
    if (!dragEnter(target, files))
        return false;
    QDropEvent drop(centreOf(target), Qt::CopyAction, m_dragData.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_view.get(), &drop);
    m_dragData.reset();
    return drop.isAccepted();
}

void UploadScreen::type(const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(m_view.get(), c.toLatin1());
}

void UploadScreen::clickFormat(const QString &label)
{
    QQuickItem *button = item(QStringLiteral("format:") + label);
    QVERIFY(button);
    QuickDriver::click(button);
}

bool UploadScreen::uploadEnabled() const
{
    QQuickItem *button = item(QStringLiteral("uploadButton"));
    return button && button->isEnabled();
}
