// The update feed parser and the version order the updater relies on.
#include "Appcast.h"
#include "FuzzSupport.h"

#include <QStringList>

namespace {
std::weak_ordering reversed(std::weak_ordering order)
{
    return 0 <=> order;
}

// Equal versions, antisymmetry and transitivity: a sort or a "newest" pick over an order that
// breaks them depends on the feed's item order.
void checkOrderLaws(const QString &a, const QString &b, const QString &c)
{
    using Appcast::compareVersions;
    require(compareVersions(a, a) == 0, "a version equals itself");
    require(compareVersions(a, b) == reversed(compareVersions(b, a)), "the order is antisymmetric");
    if (compareVersions(a, b) <= 0 && compareVersions(b, c) <= 0)
        require(compareVersions(a, c) <= 0, "the order is transitive");
    if (compareVersions(a, b) == 0 && compareVersions(b, c) == 0)
        require(compareVersions(a, c) == 0, "equal versions are all equal");
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray feed = inputBytes(data, size);
    const auto items = Appcast::parse(feed);
    if (items) {
        const std::optional<Appcast::Item> newest = Appcast::newest(items.value());
        require(newest.has_value() == !items.value().isEmpty(), "a feed with releases has a newest one");
        for (const Appcast::Item &item : items.value()) {
            require(!item.version.isEmpty(), "only items with a version are releases");
            require(Appcast::compareVersions(item.version, newest->version) <= 0, "nothing is newer than the newest");
        }
    }
    // The raw text as versions too: three lines, whatever they hold.
    const QStringList lines = QString::fromUtf8(feed).split(u'\n');
    if (lines.size() >= 3)
        checkOrderLaws(lines.at(0), lines.at(1), lines.at(2));
    return 0;
}
