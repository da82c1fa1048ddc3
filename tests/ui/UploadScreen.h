#pragma once

#include "AppManager.h"
#include "FileUploaderState.h"
#include "SessionManager.h"

#include <QList>
#include <QMimeData>
#include <QQuickItem>
#include <QQuickView>
#include <QUrl>

#include <memory>

// The upload screen on its own in a window, signed in, with a state that talks to the service
// at `apiUrl`; drives it the way a user would.
class UploadScreen
{
public:
    static inline const QString apiKey = QStringLiteral("vc_demo_key_0123456789");

    explicit UploadScreen(const QString &apiUrl);
    ~UploadScreen();

    // Shows the screen with the workspace `workspaceName` loaded; false when it cannot.
    bool show(const QString &workspaceName = QStringLiteral("Northwind Studio"));

    FileUploaderState &state() { return *m_state; }
    SessionManager &session() { return *m_session; }
    AppManager &appManager() { return *m_appManager; }
    QQuickWindow *window() const { return m_view.get(); }
    QQuickItem *root() const { return m_view->rootObject(); }
    QQuickItem *item(const QString &objectName) const;
    // The item called `objectName` inside the item called `within`.
    QQuickItem *item(const QString &within, const QString &objectName) const;

    // The open-file dialog of a picker, opened on `file` and then confirmed or cancelled.
    QObject *dialog(const QString &picker) const;
    void confirmDialog(const QString &picker, const QUrl &file) const { closeDialog(picker, file, true); }
    void cancelDialog(const QString &picker, const QUrl &file) const { closeDialog(picker, file, false); }

    // A drag of `files` entering `target`, and its drop. Answers whether it was accepted.
    bool dragEnter(QQuickItem *target, const QList<QUrl> &files);
    void dragLeave();
    bool drop(QQuickItem *target, const QList<QUrl> &files);

    // Types into the item with keyboard focus, one key press per character.
    void type(const QString &text);
    void clickFormat(const QString &label);
    bool uploadEnabled() const;

private:
    void closeDialog(const QString &picker, const QUrl &file, bool confirm) const;

    std::unique_ptr<SessionManager> m_session;
    std::unique_ptr<AppManager> m_appManager;
    std::unique_ptr<FileUploaderState> m_state;
    std::unique_ptr<QQuickView> m_view;
    std::unique_ptr<QMimeData> m_dragData;
};
