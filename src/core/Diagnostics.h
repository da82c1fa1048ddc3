#pragma once

#include <QString>
#include <QStringList>

// Diagnostic lines on standard output: plain text, one line per event, no level or timestamp.
class Diagnostics
{
public:
    static void printLine(const QString &line);

    // `url` as it may be printed: the value of each signature in its query (X-Amz-Signature,
    // Signature, sig) becomes "…", for a presigned URL lets anyone who reads it write to storage.
    static QString redactedUrl(const QString &url);

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
