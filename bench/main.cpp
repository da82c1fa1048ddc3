// vellumcast-bench: measures the transfer, a resume after a kill and the start-up; `bench/run` drives it.
//
//   vellumcast-bench suite --sink URL --api URL --api-key KEY --work DIR --output FILE
//                          [--app PATH] [--curl PATH] [--runs N] [--command TEXT]
//   vellumcast-bench upload SESSION.json FILE RESULT.json [--watch-ui]
//   vellumcast-bench upload-child API_URL API_KEY FILE

#include "BenchApplication.h"
#include "Suite.h"
#include "UploadChild.h"
#include "UploadProbe.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {
int usage()
{
    std::fprintf(stderr, "usage: vellumcast-bench suite --sink URL --api URL --api-key KEY --work DIR --output FILE "
                         "[--app PATH] [--curl PATH] [--runs N] [--command TEXT]\n"
                         "       vellumcast-bench upload SESSION.json FILE RESULT.json [--watch-ui]\n"
                         "       vellumcast-bench upload-child API_URL API_KEY FILE\n");
    return 2;
}
}

int main(int argc, char *argv[])
{
    // The uploads run on the UI thread of a GUI application, as in the application itself; no
    // window is ever shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    BenchApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption sink(QStringLiteral("sink"), QStringLiteral("discard sink URL"), QStringLiteral("URL"));
    const QCommandLineOption api(QStringLiteral("api"), QStringLiteral("devservice API URL"), QStringLiteral("URL"));
    const QCommandLineOption apiKey(QStringLiteral("api-key"), QStringLiteral("devservice API key"), QStringLiteral("KEY"));
    const QCommandLineOption work(QStringLiteral("work"), QStringLiteral("scratch directory"), QStringLiteral("DIR"));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("report file"), QStringLiteral("FILE"));
    const QCommandLineOption appPath(QStringLiteral("app"), QStringLiteral("application executable"), QStringLiteral("PATH"));
    const QCommandLineOption curl(QStringLiteral("curl"), QStringLiteral("curl executable"), QStringLiteral("PATH"),
                                  QStringLiteral("curl"));
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("runs per figure"), QStringLiteral("N"),
                                  QStringLiteral("5"));
    const QCommandLineOption command(QStringLiteral("command"), QStringLiteral("command line for the report"),
                                     QStringLiteral("TEXT"), QStringLiteral("bench/run"));
    const QCommandLineOption watchUi(QStringLiteral("watch-ui"), QStringLiteral("time a 1 ms UI timer"));
    parser.addOptions({sink, api, apiKey, work, output, appPath, curl, runs, command, watchUi});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("suite, upload or upload-child"));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();

    if (arguments.value(0) == u"upload" && arguments.size() == 4)
        return runUploadProbe(arguments[1], arguments[2], arguments[3], parser.isSet(watchUi));
    if (arguments.value(0) == u"upload-child" && arguments.size() == 4)
        return runUploadChild(arguments[1], arguments[2], arguments[3]);
    if (arguments.value(0) != u"suite" || arguments.size() != 1)
        return usage();
    SuiteOptions options{parser.value(sink), parser.value(api), parser.value(apiKey), parser.value(work),
                         parser.value(appPath), parser.value(curl), parser.value(output), parser.value(command),
                         parser.value(runs).toInt()};
    if (options.sinkUrl.isEmpty() || options.apiUrl.isEmpty() || options.workDirectory.isEmpty()
        || options.output.isEmpty() || options.runs < 1)
        return usage();
    return runSuite(options);
}
