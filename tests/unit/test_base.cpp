#include "args.h"
#include "capture.h"
#include "log.h"

#include <QtTest>
#include <cstring>

// A command line, its words split at blanks ('' an empty word, {N} N characters), and what it gives:
// the fields set, or the status (TooLong with the option and its limit). New options add rows.
const char* const kRows[][2] = {
    {"-h 10.0.0.2 -p 5901 -n Desk -k 41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"-h10.0.0.2 -p5901 -nDesk -k41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--host=10.0.0.2 --port=5901 --name=Desk --key=41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--host 10.0.0.2 --port 5901 --name Desk --key 41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--host=10.0.0.2 --po 5901 --na=Desk --k=41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--ho=a --po 1", "Usage"}, // --host or --host-subject
    {"-h far.example -h h -p 1", "host=h port=1"},
    {"", "Usage"},
    {"-h a -p 1 -e", "Usage"},
    {"-h a -p 1 -x", "Usage"},
    {"-h a -p", "Usage"},
    {"-h a stray -p 1", "Usage"},
    {"-p 5900", "MissingHostOrPort"},
    {"-h a", "MissingHostOrPort"},
    {"-h '' -p 5900", "MissingHostOrPort"},
    {"-h {23} -p 1", "host={23} port=1"},
    {"-h {24} -p 1", "TooLong host 23"},
    {"-h h -p {7}", "host=h port={7}"},
    {"-h h -p {8}", "TooLong port 7"},
    {"-h h -p 1 -n {63}", "host=h port=1 name={63}"},
    {"-h h -p 1 -n {64}", "TooLong name 63"},
    {"-h h -p 1 -k {23}", "host=h port=1 key={23}"},
    {"-h h -p 1 -k {24}", "TooLong key 23"},
    {"-h h --tls-port 5902 --password-file /p --ca-file=/ca --host-subject CN=x,O=y",
     "host=h tls-port=5902 password-file=/p ca-file=/ca host-subject=CN=x,O=y"},
    {"-h h -p 1 --tls=2", "host=h port=1 tls-port=2"},
    {"-h h --password-file /p", "MissingHostOrPort"},
    {"-h h --tls-port {8}", "TooLong tls-port 7"},
    {"-h h -p 1 --ca-file {4095} --password-file {4095}",
     "host=h port=1 password-file={4095} ca-file={4095}"},
    {"-h h -p 1 --password-file {4096}", "TooLong password-file 4095"},
    {"-h h -p 1 --host-subject {255}", "host=h port=1 host-subject={255}"},
    {"-h h -p 1 --host-subject {256}", "TooLong host-subject 255"},
};

QString expand(QString text)
{
    const QRegularExpression many("\\{(\\d+)\\}");
    for (auto m = many.match(text); m.hasMatch(); m = many.match(text))
        text.replace(m.capturedStart(), m.capturedLength(), QString(m.captured(1).toInt(), 'x'));
    return text;
}

QString outcome(const ParseResult& result, const AppArgs& a)
{
    if (result.status == ParseResult::TooLong)
        return QString("TooLong %1 %2").arg(result.tooLongOption.c_str()).arg(result.tooLongLimit);
    if (result.status != ParseResult::Ok)
        return result.status == ParseResult::Usage ? "Usage" : "MissingHostOrPort";
    QStringList set{"host=" + QString(a.host),
                    "port=" + QString(a.port),
                    "name=" + QString(a.name),
                    "key=" + QString(a.key),
                    "tls-port=" + QString(a.tls_port),
                    "password-file=" + QString(a.password_file),
                    "ca-file=" + QString(a.ca_file),
                    "host-subject=" + QString(a.host_subject)}; // a new option adds its field here
    return set.filter(QRegularExpression("=.")).join(' ');
}

class TestBase : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("expect");
        for (const auto& row : kRows)
            QTest::newRow(row[0]) << expand(row[1]);
    }
    void parse()
    {
        QFETCH(QString, expect);
        QByteArrayList words{"spice-client"};
        for (const QString& w : expand(QTest::currentDataTag()).split(' ', Qt::SkipEmptyParts))
            words << (w == "''" ? QByteArray() : w.toUtf8());
        std::vector<char*> argv;
        for (QByteArray& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        AppArgs args;
        std::memset(&args, 'x', sizeof args); // a record used before: nothing of it may remain
        QCOMPARE(outcome(parse_args(int(words.size()), argv.data(), args), args), expect);
    }

    void logLines()
    {
        const std::pair<int, QString> levels[] = {{INFO, "INFO"},   {WARN, "WARN"}, {ERROR, "ERROR"},
                                                  {DEBUG, "DEBUG"}, {4, "UNKNOWN"}, {-1, "UNKNOWN"}};
        for (const auto& [level, name] : levels) {
            CoutCapture capture;
            Logger(LogLevel(level)) << "a " << 42 << QString::fromUtf8(" 连接已关闭");
            const QString text = QString::fromStdString(capture.text());
            QCOMPARE(text.mid(19), QString(" [%1] a 42 连接已关闭\n").arg(name));
            const QDateTime stamp = QDateTime::fromString(text.left(19), "yyyy-MM-dd HH:mm:ss");
            QVERIFY2(qAbs(stamp.secsTo(QDateTime::currentDateTime())) <= 2, qPrintable(text)); // local time
        }
    }
};

QTEST_GUILESS_MAIN(TestBase)
#include "test_base.moc"
