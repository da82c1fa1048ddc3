#pragma once

#include <QString>
#include <QStringList>

// Diagnostic lines on standard output: plain text, one line per event, no level or timestamp.
class Diagnostics
{
public:
    static void printLine(const QString &line);

    // While alive, lines are collected here instead of being written (tests read them).
    class Capture
    {
    public:
        Capture();
        ~Capture();
        Capture(const Capture &) = delete;
        Capture &operator=(const Capture &) = delete;

        QStringList lines() const;
        void clear();

    private:
        QStringList m_lines;
        friend class Diagnostics;
    };
};
