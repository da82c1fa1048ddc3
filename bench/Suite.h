#pragma once

#include <QString>

struct SuiteOptions
{
    QString sinkUrl; // nginx discard sink, http://127.0.0.1:PORT
    QString apiUrl; // the devservice's api= address
    QString apiKey;
    QString workDirectory; // test files and scratch files go here
    QString appPath; // vellumcast-uploader; the start-up is not measured when it is missing
    QString curl = QStringLiteral("curl");
    QString output; // RESULTS.md
    QString command; // how the run was started, for the report
    int runs = 5;
};

// Runs every measurement, each upload in a process of its own (this program's `upload` and
// `upload-child` commands), and writes the report. Answers the exit status: 0 when every measurement ran,
// whether or not the figures meet their targets.
int runSuite(const SuiteOptions &options);
