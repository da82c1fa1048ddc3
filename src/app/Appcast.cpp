#include "Appcast.h"

#include <QXmlStreamReader>

#include <variant>

namespace {
using Token = std::variant<QStringView, QStringView>; // index 0: digits, index 1: letters

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

QList<Token> tokenize(QStringView version)
{
    QList<Token> tokens;
    qsizetype i = 0;
    while (i < version.size()) {
        const QChar c = version[i];
        qsizetype end = i + 1;
        if (isAsciiDigit(c)) {
            while (end < version.size() && isAsciiDigit(version[end]))
                ++end;
            tokens.append(Token(std::in_place_index<0>, version.sliced(i, end - i)));
        } else if (c.isLetter()) {
            while (end < version.size() && version[end].isLetter())
                ++end;
            tokens.append(Token(std::in_place_index<1>, version.sliced(i, end - i)));
        }
        i = end;
    }
    return tokens;
}

// Numbers of any length, compared without converting them.
std::weak_ordering compareNumbers(QStringView left, QStringView right)
{
    while (left.size() > 1 && left.front() == u'0')
        left = left.sliced(1);
    while (right.size() > 1 && right.front() == u'0')
        right = right.sliced(1);
    if (left.size() != right.size())
        return left.size() <=> right.size();
    return left.compare(right, Qt::CaseSensitive) <=> 0;
}

bool isZero(const Token &token)
{
    return token.index() == 0 && compareNumbers(std::get<0>(token), u"0") == 0;
}

// The longer list's remaining tokens decide: more numbers make a later version unless
// they are all zero; letters make an earlier one.
std::weak_ordering compareTail(const QList<Token> &tail, qsizetype from)
{
    for (qsizetype i = from; i < tail.size(); ++i) {
        if (tail[i].index() == 1)
            return std::weak_ordering::less;
        if (!isZero(tail[i]))
            return std::weak_ordering::greater;
    }
    return std::weak_ordering::equivalent;
}

QUrl webUrl(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == u"https" || scheme == u"http") && !url.host().isEmpty()
        ? url
        : QUrl();
}

struct ItemReader
{
    Appcast::Item item;
    QUrl link;
    QUrl enclosure;

    void readEnclosure(const QXmlStreamAttributes &attributes)
    {
        for (const QXmlStreamAttribute &attribute : attributes) {
            if (attribute.name() == u"version")
                item.version = attribute.value().trimmed().toString();
            else if (attribute.name() == u"shortVersionString")
                item.displayVersion = attribute.value().trimmed().toString();
            else if (attribute.name() == u"url")
                enclosure = webUrl(attribute.value().toString());
        }
    }

    Appcast::Item finish()
    {
        if (item.displayVersion.isEmpty())
            item.displayVersion = item.version;
        item.downloadPage = link.isEmpty() ? enclosure : link;
        return item;
    }
};
}

namespace Appcast {

Result<QList<Item>> parse(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    QList<Item> items;
    std::optional<ItemReader> current;
    bool seenRoot = false;

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (!seenRoot) {
                seenRoot = true;
                if (reader.name() != u"rss")
                    return Error::decoding(QStringLiteral("The update feed is not an RSS document."));
                continue;
            }
            if (reader.name() == u"item" && reader.namespaceUri().isEmpty()) {
                current.emplace();
            } else if (current && reader.namespaceUri().isEmpty()) {
                if (reader.name() == u"enclosure")
                    current->readEnclosure(reader.attributes());
                else if (reader.name() == u"title")
                    current->item.title = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                else if (reader.name() == u"description")
                    current->item.releaseNotes = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                else if (reader.name() == u"link")
                    current->link = webUrl(reader.readElementText(QXmlStreamReader::IncludeChildElements));
            }
        } else if (token == QXmlStreamReader::EndElement && current && reader.name() == u"item"
                   && reader.namespaceUri().isEmpty()) {
            Item item = current->finish();
            current.reset();
            if (!item.version.isEmpty())
                items.append(std::move(item));
        }
    }
    if (reader.hasError())
        return Error::decoding(QStringLiteral("The update feed is not well-formed XML (line %1: %2).")
                                   .arg(reader.lineNumber())
                                   .arg(reader.errorString()));
    if (!seenRoot)
        return Error::decoding(QStringLiteral("The update feed is empty."));
    return items;
}

std::optional<Item> newest(const QList<Item> &items)
{
    std::optional<Item> best;
    for (const Item &item : items) {
        if (!best || compareVersions(item.version, best->version) > 0)
            best = item;
    }
    return best;
}

std::weak_ordering compareVersions(QStringView left, QStringView right)
{
    const QList<Token> a = tokenize(left);
    const QList<Token> b = tokenize(right);
    const qsizetype shared = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < shared; ++i) {
        if (a[i].index() != b[i].index()) // a number is later than letters in the same place
            return a[i].index() == 0 ? std::weak_ordering::greater : std::weak_ordering::less;
        const std::weak_ordering order = a[i].index() == 0
            ? compareNumbers(std::get<0>(a[i]), std::get<0>(b[i]))
            : std::get<1>(a[i]).compare(std::get<1>(b[i]), Qt::CaseInsensitive) <=> 0;
        if (order != 0)
            return order;
    }
    if (a.size() > shared)
        return compareTail(a, shared);
    if (b.size() > shared)
        return 0 <=> compareTail(b, shared);
    return std::weak_ordering::equivalent;
}

}
