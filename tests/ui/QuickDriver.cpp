#include "QuickDriver.h"

#include "ApiKeyPreference.h"

#include <QFile>
#include <QSettings>
#include <QSet>
#include <QTest>

namespace QuickDriver {

// Searches the visual tree and the object tree: popups and loaded items hang off either.
static QQuickItem *search(QObject *node, const QString &objectName, QSet<QObject *> &seen)
{
    if (!node || seen.contains(node))
        return nullptr;
    seen.insert(node);
    auto *asItem = qobject_cast<QQuickItem *>(node);
    if (asItem && node->objectName() == objectName)
        return asItem;
    if (asItem) {
        for (QQuickItem *child : asItem->childItems()) {
            if (QQuickItem *found = search(child, objectName, seen))
                return found;
        }
    }
    for (QObject *child : node->children()) {
        if (QQuickItem *found = search(child, objectName, seen))
            return found;
    }
    return nullptr;
}

QQuickItem *item(QObject *root, const QString &objectName)
{
    QSet<QObject *> seen;
    QQuickItem *found = nullptr;
    if (auto *window = qobject_cast<QQuickWindow *>(root))
        found = search(window->contentItem()->parentItem(), objectName, seen);
    if (!found)
        found = search(root, objectName, seen);
    if (!found)
        qWarning("no item called %s", qPrintable(objectName));
    return found;
}

QString text(QQuickItem *item)
{
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

void click(QQuickItem *target)
{
    const QPointF centre(target->width() / 2, target->height() / 2);
    QTest::mouseClick(target->window(), Qt::LeftButton, Qt::NoModifier, target->mapToScene(centre).toPoint());
}

void type(QQuickWindow *window, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}

void press(QQuickWindow *window, Qt::Key key)
{
    QTest::keyClick(window, key);
}

bool AppHarness::start(const QString &storedKey, const QString &apiUrl)
{
    using namespace std::chrono_literals;
    if (!m_server.listen())
        return false;
    QFile::remove(ApiKeyPreference::filePath());
    if (!storedKey.isNull())
        QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName)
            .setValue(QStringLiteral("apiKey"), storedKey);
    m_app = std::make_unique<UploaderApplication>(
        APIService(apiUrl.isEmpty() ? m_server.url(QStringLiteral("/api")).toString() : apiUrl),
        UpdaterManager::Settings{m_server.url(QStringLiteral("/appcast.xml")), QStringLiteral("1.0"), 24h, 24h});
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    m_engine->load(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/Main.qml")));
    m_window = m_engine->rootObjects().isEmpty()
        ? nullptr
        : qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
    if (!m_window)
        return false;
    m_window->show();
    m_window->requestActivate();
    return QTest::qWaitForWindowExposed(m_window);
}

bool AppHarness::startSignedIn(const QString &storedKey, const QString &apiUrl)
{
    return start(storedKey, apiUrl) && QTest::qWaitFor([this] { return session().hasWorkspace(); });
}

QString AppHarness::screen() const
{
    QQuickItem *loader = item(QStringLiteral("screenLoader"));
    const auto *screen = loader ? loader->property("item").value<QQuickItem *>() : nullptr;
    return screen ? screen->objectName() : QString();
}

FileUploaderState *AppHarness::uploadState() const
{
    QQuickItem *view = item(QStringLiteral("fileUploaderView"));
    return view ? view->property("uploaderState").value<FileUploaderState *>() : nullptr;
}

}
