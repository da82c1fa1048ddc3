#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPalette>
#include <QPointer>

class QDBusPendingCallWatcher;
class QDBusVariant;

// Follows the desktop's light or dark preference ("color-scheme" of the desktop portal's
// settings) where the platform's own palette does not, as on GNOME: when the desktop prefers
// dark and the platform palette is light, the app switches to a dark palette of its own, and
// back when the preference changes. Without a portal the platform palette stays, silently.
class ColorSchemeWatcher : public QObject
{
    Q_OBJECT

public:
    // The portal's values.
    enum class Preference : uint { None = 0, Dark = 1, Light = 2 };

    // On the user's session bus.
    explicit ColorSchemeWatcher(QObject *parent = nullptr);
    explicit ColorSchemeWatcher(QDBusConnection sessionBus, QObject *parent = nullptr);
    ~ColorSchemeWatcher() override;

    Preference preference() const { return m_preference; }

    // The same hues as the light palette, on dark greys.
    static QPalette darkPalette();

Q_SIGNALS:
    void preferenceChanged();

private Q_SLOTS:
    void settingChanged(const QString &settingsNamespace, const QString &key, const QDBusVariant &value);

private:
    void readAnswered(QDBusPendingCallWatcher *call);
    void apply(Preference preference);

    QDBusConnection m_sessionBus;
    QPointer<QDBusPendingCallWatcher> m_pendingRead;
    Preference m_preference = Preference::None;
    bool m_overridesPlatform = false;
};
