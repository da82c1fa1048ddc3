#include "QuickDriver.h"

#include "ApiKeyPreference.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSet>
#include <QTest>

namespace QuickDriver {

Loaded loadWindow(const QString &path)
{
    Loaded loaded;
    loaded.engine = std::make_unique<QQmlApplicationEngine>();
    loaded.engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    loaded.engine->load(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/") + path));
    if (loaded.engine->rootObjects().isEmpty()) {
        QTest::qFail(qPrintable(QStringLiteral("cannot load ") + path), __FILE__, __LINE__);
        return loaded;
    }
    loaded.window = qobject_cast<QQuickWindow *>(loaded.engine->rootObjects().constFirst());
    if (loaded.window) {
        loaded.window->show();
        loaded.window->requestActivate();
        if (!QTest::qWaitForWindowExposed(loaded.window))
            loaded.window = nullptr;
    }
    return loaded;
}

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

QQuickItem *tryItem(QObject *root, const QString &objectName)
{
    QSet<QObject *> seen;
    if (auto *window = qobject_cast<QQuickWindow *>(root)) {
        if (QQuickItem *found = search(window->contentItem()->parentItem(), objectName, seen))
            return found;
    }
    return search(root, objectName, seen);
}

QQuickItem *item(QObject *root, const QString &objectName)
{
    QQuickItem *found = tryItem(root, objectName);
    if (!found)
        qWarning("no item called %s", qPrintable(objectName));
    return found;
}

static QPoint centreOf(QQuickItem *target)
{
    return target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint();
}

void click(QQuickItem *target)
{
    QTest::mouseClick(target->window(), Qt::LeftButton, Qt::NoModifier, centreOf(target));
}

void hover(QQuickItem *target)
{
    // Qt drops a move to where the pointer already is, as after a click in an earlier test.
    QTest::mouseMove(target->window(), centreOf(target) - QPoint(1, 1));
    QTest::mouseMove(target->window(), centreOf(target));
}

void moveMouseAway(QQuickWindow *window)
{
    QTest::mouseMove(window, QPoint(window->width() - 2, window->height() - 2));
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

QString screenshotDirectory()
{
    const QString path = QStringLiteral(VELLUMCAST_SCREENSHOT_DIR);
    QDir().mkpath(path);
    return path;
}

AppHarness::AppHarness()
    : m_server(std::make_unique<TestHttpServer>())
{
}

AppHarness::~AppHarness()
{
    m_loaded = {};
    m_app.reset();
}

bool AppHarness::start(const QString &storedKey)
{
    using namespace std::chrono_literals;
    if (!m_server->listen())
        return false;
    QFile::remove(ApiKeyPreference::filePath());
    if (!storedKey.isNull())
        QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName)
            .setValue(QStringLiteral("apiKey"), storedKey);
    m_app = std::make_unique<UploaderApplication>(
        APIService(m_server->url(QStringLiteral("/api")).toString()),
        UpdaterManager::Settings{m_server->url(QStringLiteral("/appcast.xml")), QStringLiteral("1.0"), 24h, 24h});
    m_loaded = loadWindow(QStringLiteral("Main.qml"));
    return m_loaded.window != nullptr;
}

QString AppHarness::screen() const
{
    QQuickItem *loader = QuickDriver::item(m_loaded.window, QStringLiteral("screenLoader"));
    const auto *screen = loader ? loader->property("item").value<QQuickItem *>() : nullptr;
    return screen ? screen->objectName() : QString();
}

}
