// The upload log: messages of any text, repeated past the 10000-character cap.
#include "Diagnostics.h"
#include "FuzzSupport.h"
#include "UploadLog.h"

#include <QStringList>
#include <QTextBoundaryFinder>

namespace {
const QStringList droppedMarkers = {
    QStringLiteral("Log file is located at"),
    QStringLiteral("Number of"),
    QStringLiteral("A newer version"),
};
constexpr qsizetype maxMessages = 64;

bool isDropped(const QString &message)
{
    return std::any_of(droppedMarkers.cbegin(), droppedMarkers.cend(),
                       [&message](const QString &marker) { return message.contains(marker); });
}

// Whether the tail `kept` of `text`, extended by the character before it, would still be within
// the cap. Qt's count of a text depends on what stands before it, so the tail is counted on its
// own, and "the character before" is the one the whole text ends there (a surrogate pair stays
// whole).
bool fitsWithOneMoreCharacter(const QString &text, const QString &kept)
{
    const qsizetype cut = text.size() - kept.size();
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    boundaries.setPosition(cut);
    qsizetype previous = boundaries.toPreviousBoundary();
    while (previous > 0 && text.at(previous).isLowSurrogate() && text.at(previous - 1).isHighSurrogate())
        previous = boundaries.toPreviousBoundary();
    return previous >= 0
            && UploadLog::userPerceivedLength(text.mid(previous)) <= UploadLog::maxLength;
}
}

// The first byte is how often the messages are appended; the rest is UTF-16 text whose
// U+0000 characters separate the messages.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int rounds = data[0] % 16 + 1;
    const QStringList messages = inputText(data + 1, size - 1).split(QChar(0)).mid(0, maxMessages);

    Diagnostics::Capture quiet;
    UploadLog log;
    QString everything;
    for (int round = 0; round < rounds; ++round) {
        for (const QString &message : messages) {
            const QString uncut = log.text() + message + u'\n';
            log.append(message);
            if (isDropped(message))
                continue;
            everything += message + u'\n';
            const QString logs = log.text();
            require(uncut.endsWith(logs), "the log is a tail of everything appended");
            require(UploadLog::userPerceivedLength(logs) <= UploadLog::maxLength,
                    "the log stays within its cap");
            if (logs.size() < uncut.size())
                require(!fitsWithOneMoreCharacter(uncut, logs), "no more is cut than the cap needs");
        }
    }
    require(everything.endsWith(log.text()), "the log is a tail of everything appended");
    return 0;
}
