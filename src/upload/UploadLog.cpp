#include "UploadLog.h"

#include "Diagnostics.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace {
// The transfer's texts that are not worth a line in the user's log.
const QStringList ignoredMessages = {
    QStringLiteral("Log file is located at"),
    QStringLiteral("Number of"),
    QStringLiteral("A newer version"),
};

// The number written right before the percent sign at `percentSign`, 0 when there is none.
double percentageBefore(const QString &message, qsizetype percentSign)
{
    static const QRegularExpression trailingNumber(QStringLiteral("[0-9]+(?:\\.[0-9]+)?\\z"));
    const QRegularExpressionMatch match = trailingNumber.match(message.left(percentSign));
    return match.hasMatch() ? match.captured().toDouble() : 0.0;
}

// Where the longest tail of `text` that counts at most `maxLength` characters begins. Qt's count
// of a piece of text depends on what stands before it: a space and a spacing mark are two
// characters at the start of a text and one after others, and after some characters every code
// unit counts as one, splitting surrogate pairs. So a tail is measured on its own, and starts
// where the whole text has a character boundary, never inside a surrogate pair.
qsizetype tailStart(const QString &text, qint64 maxLength)
{
    QList<qsizetype> starts{0};
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype position = boundaries.toNextBoundary(); position > 0 && position < text.size();
         position = boundaries.toNextBoundary()) {
        if (!(text.at(position).isLowSurrogate() && text.at(position - 1).isHighSurrogate()))
            starts.append(position);
    }
    const auto fits = [&](qsizetype index) {
        return UploadLog::userPerceivedLength(text.mid(starts.at(index))) <= maxLength;
    };
    // In the whole text's count the tail of `maxLength` characters starts here.
    qsizetype index = std::clamp<qsizetype>(starts.size() - maxLength, 0, starts.size() - 1);
    while (index + 1 < starts.size() && !fits(index))
        ++index;
    while (index > 0 && fits(index - 1))
        --index;
    return starts.at(index);
}
}

qint64 UploadLog::userPerceivedLength(const QString &text)
{
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    qint64 length = 0;
    while (boundaries.toNextBoundary() != -1)
        ++length;
    return length;
}

void UploadLog::clear()
{
    m_text.clear();
    Q_EMIT textChanged();
}

void UploadLog::append(const QString &message)
{
    for (const QString &ignored : ignoredMessages) {
        if (message.contains(ignored))
            return;
    }
    const qsizetype percentSign = message.indexOf(u'%');
    if (percentSign < 0) {
        appendLine(message);
        return;
    }
    Diagnostics::printLine(QStringLiteral("Recieved log ") + message);
    const double percentage = percentageBefore(message, percentSign);
    Diagnostics::printLine(QString::number(percentage));
    appendLine(message);
    if (percentage != 0.0)
        Q_EMIT progressReported(percentage / 100.0);
}

void UploadLog::appendLine(const QString &message)
{
    m_text += message + u'\n';
    // The whole text is counted every time: the counts of lines do not add up (see tailStart).
    if (userPerceivedLength(m_text) > maxLength)
        m_text.remove(0, tailStart(m_text, maxLength));
    Q_EMIT textChanged();
}
