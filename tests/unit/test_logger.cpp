#include "capture.h"
#include "log.h"

#include <QRegularExpression>
#include <QString>
#include <QtTest>
#include <ctime>
#include <thread>

class TestLogger : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lineFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("name");
        QTest::newRow("info") << 0 << "INFO";
        QTest::newRow("warn") << 1 << "WARN";
        QTest::newRow("error") << 2 << "ERROR";
        QTest::newRow("debug is 3") << 3 << "DEBUG";
        QTest::newRow("4") << 4 << "UNKNOWN";
        QTest::newRow("7") << 7 << "UNKNOWN";
        QTest::newRow("-1") << -1 << "UNKNOWN";
    }
    void lineFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, name);
        CoutCapture capture;
        Logger(LogLevel(level)) << "hello " << 42;
        const QString text = QString::fromStdString(capture.text());
        QRegularExpression shape("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[" + name +
                                 "\\] hello 42\\n$");
        QVERIFY2(shape.match(text).hasMatch(), qPrintable(text));
    }

    void emptyMessageKeepsTrailingBlank()
    {
        CoutCapture capture;
        {
            Logger line(INFO);
        }
        const std::string text = capture.text();
        QCOMPARE(text.size(), size_t(19 + 9)); // stamp, " [INFO] ", newline
        QCOMPARE(text.substr(19), std::string(" [INFO] \n"));
    }

    void newlineAndUtf8PassUnchanged()
    {
        CoutCapture capture;
        Logger(ERROR) << "a\nb " << QString::fromUtf8("连接已关闭");
        QCOMPARE(capture.text().substr(19), std::string(" [ERROR] a\nb 连接已关闭\n"));
    }

    void timestampIsTakenAtConstruction()
    {
        CoutCapture capture;
        std::time_t before = std::time(nullptr);
        {
            Logger line(INFO);
            // Wait until the wall clock has moved on by at least one second.
            while (std::time(nullptr) < before + 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            line << "late";
        }
        std::tm stamp{};
        const std::string text = capture.text();
        QVERIFY(strptime(text.substr(0, 19).c_str(), "%Y-%m-%d %H:%M:%S", &stamp));
        std::time_t logged = timegm(&stamp); // TZ=UTC for this test
        QVERIFY2(logged <= before + 1, text.c_str());
    }

    void linesComeOutInOrderOfDestruction()
    {
        CoutCapture capture;
        {
            auto first = std::make_unique<Logger>(INFO);
            *first << "first";
            {
                Logger second(INFO);
                second << "second";
            }
        }
        QCOMPARE(capture.lines(), QStringList({"[INFO] second", "[INFO] first"}));
    }

    void initAlwaysSucceeds() { QVERIFY(log_init()); }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "test_logger.moc"
