#include "ApiKeyPreference.h"
#include "BuildConfig.h"
#include "ColorSchemeWatcher.h"
#include "PortalFileDialogs.h"
#include "StorageClient.h"
#include "UploaderApplication.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

int main(int argc, char *argv[])
{
    // The app keeps nothing on disk but the API key, not even compiled shaders.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    const bool portalTheme = PortalFileDialogs::requestPortalTheme();
    QGuiApplication app(argc, argv);
    if (portalTheme)
        PortalFileDialogs::fallBackUntilPortalAnswers();
    // Ties the window to the installed desktop entry, for its icon and name on the panel.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(BuildConfig::desktopFileName));
    QGuiApplication::setOrganizationName(ApiKeyPreference::organizationName);
    QGuiApplication::setApplicationName(ApiKeyPreference::applicationName);
    QGuiApplication::setApplicationVersion(QString::fromUtf8(BuildConfig::applicationVersion));

    ColorSchemeWatcher colorScheme;
    UploaderApplication application(APIService(), UpdaterManager::Settings::fromBuild());

    QQmlApplicationEngine engine;
    // Where the module lives; Qt 6.4 does not look there by itself.
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &app,
                     [](QObject *created, const QUrl &) {
                         if (!created)
                             QCoreApplication::exit(EXIT_FAILURE);
                     }, Qt::QueuedConnection);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/Main.qml")));
    // Once the window has drawn itself, so that neither the window nor the first upload waits.
    if (auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0)))
        QObject::connect(window, &QQuickWindow::frameSwapped, &app, &StorageClient::initialiseLibrary,
                         Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    return app.exec();
}
