#include "FileUploaderState.h"
#include "UploadLog.h"

#include <QTest>

// The upload log's cap, where Qt's count of characters depends on their neighbours: a space
// followed by a spacing mark (U+093F) is two characters at the start of a text, one elsewhere.
// Found by fuzzing the log.
class UploadLogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theCapHoldsWhateverTheCutLandsOn_data()
    {
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("cut");
        const QString spaceAndMark = QStringLiteral(" \u093F");
        // 2 + 10001 characters: the cut takes "X\na" and leaves the pair at the start.
        QTest::newRow("cut right before the pair") << QStringList{"X", "a" + spaceAndMark + QString(9998, 'a')} << true;
        // 2 + 2 + 9996 characters, exactly the cap: nothing may go.
        QTest::newRow("the pair at the start of a line in a full log")
            << QStringList{"X", spaceAndMark, QString(9995, 'a')} << false;
    }

    void theCapHoldsWhateverTheCutLandsOn()
    {
        QFETCH(QStringList, messages);
        QFETCH(bool, cut);
        FileUploaderState state;
        for (const QString &message : std::as_const(messages))
            state.appendLog(message);
        const QString everything = messages.join(u'\n') + u'\n';
        const qsizetype length = UploadLog::userPerceivedLength(state.logs());
        QVERIFY(everything.endsWith(state.logs()));
        QVERIFY(length <= FileUploaderState::maxLogLength);
        QVERIFY(cut ? length >= FileUploaderState::maxLogLength - 1 : state.logs() == everything);
    }
};

QTEST_GUILESS_MAIN(UploadLogTest)
#include "tst_uploadlog.moc"
