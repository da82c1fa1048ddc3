#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// The input as it is, not copied: a read past its end is caught by AddressSanitizer.
QByteArray inputBytes(const uint8_t *data, size_t size);

// The input read as UTF-16 (any code units, lone surrogates included).
QString inputText(const uint8_t *data, size_t size);

// A property that must hold for every input. A violation aborts, so that libFuzzer keeps the
// input that caused it.
void require(bool holds, const char *property);
