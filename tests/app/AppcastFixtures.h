#pragma once

#include <QByteArray>

// Update feeds as tests need them. Kept out of the test sources because moc misreads "//"
// inside raw string literals.
namespace AppcastFixtures {
// Three releases out of order: 1.9, 1.10 (the newest, with HTML notes and a download page)
// and 1.2.3, plus an item without a version.
QByteArray releases();
// One release, `version`, whose only link is its enclosure.
QByteArray singleRelease(const QByteArray &version);
}
