#pragma once

#include <QByteArray>

// Kept out of the test sources because moc misreads "//" inside raw string literals.
namespace AppcastFixtures {
// Three releases out of order: 1.9, 1.10 (the newest, with HTML notes and a download page)
// and 1.2.3, plus an item without a version.
QByteArray releases();
}
