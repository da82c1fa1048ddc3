#pragma once

#include "Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <compare>
#include <optional>

// The update feed: an RSS 2.0 channel whose items each describe one release, with the
// release's version in attributes of the item's enclosure, for example
//   <enclosure url="…" sparkle:version="1.4.2" sparkle:shortVersionString="1.4.2"/>
// (the namespace of the attributes is not looked at).
namespace Appcast {

struct Item
{
    QString version; // compared with the running version
    QString displayVersion; // shown to the user; the version when the feed gives none
    QString title;
    QString releaseNotes; // the item's description as the feed gives it, often HTML
    QUrl downloadPage; // the item's link, else the enclosure's URL; empty when neither is web
};

// The items that carry a version, in feed order. Fails when the text is not well-formed XML
// or not an RSS document.
Result<QList<Item>> parse(const QByteArray &xml);

// The item with the highest version, the first of equals.
std::optional<Item> newest(const QList<Item> &items);

// Orders dotted versions by their numbers ("1.10" after "1.9", "1.0" equal to "1"). Letters
// mark a pre-release: "1.2b3" comes after "1.1" and before "1.2" and "1.2.1".
std::weak_ordering compareVersions(QStringView left, QStringView right);

}
