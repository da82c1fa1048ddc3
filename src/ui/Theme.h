#pragma once

#include <QColor>
#include <QObject>
#include <QtQmlIntegration>

// The named colours and text sizes the screens are drawn with, taken from the application
// palette so that a dark system palette gives dark screens. Sizes are logical pixels.
class Theme : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool dark READ isDark NOTIFY paletteChanged)
    Q_PROPERTY(QColor windowBackground READ windowBackground NOTIFY paletteChanged)
    Q_PROPERTY(QColor controlBackground READ controlBackground NOTIFY paletteChanged)
    Q_PROPERTY(QColor textBackground READ textBackground NOTIFY paletteChanged)
    Q_PROPERTY(QColor label READ label NOTIFY paletteChanged)
    Q_PROPERTY(QColor secondaryLabel READ secondaryLabel NOTIFY paletteChanged)
    Q_PROPERTY(QColor tertiaryLabel READ tertiaryLabel NOTIFY paletteChanged)
    Q_PROPERTY(QColor placeholderText READ placeholderText NOTIFY paletteChanged)
    Q_PROPERTY(QColor separator READ separator NOTIFY paletteChanged)
    Q_PROPERTY(QColor shadow READ shadow NOTIFY paletteChanged)
    Q_PROPERTY(QColor accent READ accent NOTIFY paletteChanged)
    Q_PROPERTY(QColor selectedControl READ selectedControl NOTIFY paletteChanged)
    Q_PROPERTY(QColor alternateSelectedControlText READ alternateSelectedControlText NOTIFY paletteChanged)
    Q_PROPERTY(QColor systemBlue READ systemBlue NOTIFY paletteChanged)
    Q_PROPERTY(QColor systemGreen READ systemGreen NOTIFY paletteChanged)
    Q_PROPERTY(QColor systemRed READ systemRed NOTIFY paletteChanged)
    Q_PROPERTY(QColor systemGray READ systemGray NOTIFY paletteChanged)
    Q_PROPERTY(int defaultPadding MEMBER defaultPadding CONSTANT)
    Q_PROPERTY(int titleSize MEMBER titleSize CONSTANT)
    Q_PROPERTY(int title2Size MEMBER title2Size CONSTANT)
    Q_PROPERTY(int headlineSize MEMBER headlineSize CONSTANT)
    Q_PROPERTY(int bodySize MEMBER bodySize CONSTANT)
    Q_PROPERTY(int subheadlineSize MEMBER subheadlineSize CONSTANT)
    Q_PROPERTY(int captionSize MEMBER captionSize CONSTANT)

public:
    explicit Theme(QObject *parent = nullptr);

    static constexpr int defaultPadding = 16;
    static constexpr int titleSize = 22;
    static constexpr int title2Size = 17;
    static constexpr int headlineSize = 13;
    static constexpr int bodySize = 13;
    static constexpr int subheadlineSize = 11;
    static constexpr int captionSize = 10;

    bool isDark() const;
    QColor windowBackground() const;
    QColor controlBackground() const;
    QColor textBackground() const;
    QColor label() const;
    QColor secondaryLabel() const;
    QColor tertiaryLabel() const;
    QColor placeholderText() const;
    QColor separator() const;
    QColor shadow() const;
    QColor accent() const;
    QColor selectedControl() const;
    QColor alternateSelectedControlText() const;
    QColor systemBlue() const;
    QColor systemGreen() const;
    QColor systemRed() const;
    QColor systemGray() const;

    // The colour `amount` (0 to 1, clamped) of the way from `from` to `to`, for animated fills.
    Q_INVOKABLE static QColor blend(const QColor &from, const QColor &to, qreal amount);

Q_SIGNALS:
    void paletteChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QColor pick(const char *light, const char *dark) const;
};
