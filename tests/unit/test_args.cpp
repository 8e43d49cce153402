#include "args.h"

#include <QtTest>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct Argv {
    explicit Argv(const QStringList& words)
    {
        storage << "spice-client";
        for (const QString& w : words)
            storage << w.toUtf8();
        for (QByteArray& s : storage)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(pointers.size()) - 1; }
    char** argv() { return pointers.data(); }
    QList<QByteArray> storage;
    std::vector<char*> pointers;
};

ParseResult parse(const QStringList& words, AppArgs& out)
{
    Argv a(words);
    return parse_args(a.argc(), a.argv(), out);
}

struct Exit {
    int status = -1;
    QByteArray output;
};

// parse_cmd ends the process on every error, so it runs in a child whose stdout we read.
Exit runParseCmd(const QStringList& words)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDERR_FILENO); // getopt's own diagnostics
        close(pipeFds[0]);
        Argv a(words);
        parse_cmd(a.argc(), a.argv());
        _exit(42); // returned: arguments usable
    }
    close(pipeFds[1]);
    Exit result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, int(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

const char kUsage[] = "spice-client: A spice client\n"
                      "Usage: spice-client [options]...\n"
                      "  -h, --host\n"
                      "      Set address of spice server\n"
                      "  -p, --port\n"
                      "      Set port of spice server\n"
                      "  -n, --name\n"
                      "      Set title of spiceviewer window\n"
                      "  -k, --key\n"
                      "      Set Key and send to spice server\n"
                      "  -e, --help\n"
                      "      Print help and exit\n";

} // namespace

class TestArgs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formsGiveTheSameRecord_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::newRow("short, separate")
            << QStringList{"-h", "10.0.0.2", "-p", "5901", "-n", "Desk", "-k", "41"};
        QTest::newRow("short, attached") << QStringList{"-h10.0.0.2", "-p5901", "-nDesk", "-k41"};
        QTest::newRow("long, =") << QStringList{"--host=10.0.0.2", "--port=5901", "--name=Desk", "--key=41"};
        QTest::newRow("long, next word")
            << QStringList{"--host", "10.0.0.2", "--port", "5901", "--name", "Desk", "--key", "41"};
        QTest::newRow("abbreviated") << QStringList{"--ho=10.0.0.2", "--po", "5901", "--na=Desk", "--k=41"};
        QTest::newRow("last wins") << QStringList{
            "-h", "longer-name.example", "-h", "10.0.0.2", "-p", "5901", "-n", "Desk", "-k", "41"};
    }
    void formsGiveTheSameRecord()
    {
        QFETCH(QStringList, words);
        AppArgs args;
        std::memset(&args, 0x55, sizeof args);
        QCOMPARE(parse(words, args).status, ParseResult::Ok);
        QCOMPARE(QByteArray(args.host), QByteArray("10.0.0.2"));
        QCOMPARE(QByteArray(args.port), QByteArray("5901"));
        QCOMPARE(QByteArray(args.name), QByteArray("Desk"));
        QCOMPARE(QByteArray(args.key), QByteArray("41"));
        // A shorter later value leaves nothing of an earlier one behind its terminator.
        for (size_t i = std::strlen(args.host); i < sizeof args.host; ++i)
            QCOMPARE(args.host[i], '\0');
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<int>("status");
        QTest::newRow("nothing") << QStringList{} << int(ParseResult::Usage);
        QTest::newRow("help after valid options")
            << QStringList{"-h", "a", "-p", "1", "-e"} << int(ParseResult::Usage);
        QTest::newRow("--help") << QStringList{"--help", "-h", "a"} << int(ParseResult::Usage);
        QTest::newRow("unknown option") << QStringList{"-h", "a", "-p", "1", "-x"} << int(ParseResult::Usage);
        QTest::newRow("missing value") << QStringList{"-h", "a", "-p"} << int(ParseResult::Usage);
        QTest::newRow("stray word") << QStringList{"-h", "a", "stray", "-p", "1"} << int(ParseResult::Usage);
        QTest::newRow("port alone") << QStringList{"-p", "5900"} << int(ParseResult::MissingHostOrPort);
        QTest::newRow("empty host") << QStringList{"-h", "", "-p", "5900"}
                                    << int(ParseResult::MissingHostOrPort);
        QTest::newRow("host 24 chars")
            << QStringList{"-h", QString(24, 'h'), "-p", "1"} << int(ParseResult::TooLong);
        QTest::newRow("port 8 chars")
            << QStringList{"-h", "a", "-p", "12345678"} << int(ParseResult::TooLong);
        QTest::newRow("name 64 chars")
            << QStringList{"-h", "a", "-p", "1", "-n", QString(64, 'n')} << int(ParseResult::TooLong);
        QTest::newRow("key 24 chars")
            << QStringList{"-h", "a", "-p", "1", "-k", QString(24, 'k')} << int(ParseResult::TooLong);
    }
    void refusals()
    {
        QFETCH(QStringList, words);
        QFETCH(int, status);
        AppArgs args{};
        QCOMPARE(int(parse(words, args).status), status);
    }

    void fieldsHoldTheirWidthMinusOne()
    {
        AppArgs args{};
        QStringList words{"-h", QString(23, 'h'), "-p", QString(7, '9'),
                          "-n", QString(63, 'n'), "-k", QString(23, 'k')};
        QCOMPARE(parse(words, args).status, ParseResult::Ok);
        QCOMPARE(std::strlen(args.host), size_t(23));
        QCOMPARE(std::strlen(args.port), size_t(7));
        QCOMPARE(std::strlen(args.name), size_t(63));
        QCOMPARE(std::strlen(args.key), size_t(23));
    }

    void portIsTakenAsText()
    {
        AppArgs args{};
        QCOMPARE(parse({"-h", "host.example", "-p", "spice"}, args).status, ParseResult::Ok);
        QCOMPARE(QByteArray(args.port), QByteArray("spice"));
    }

    void usageOnEveryError_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("no arguments") << QStringList{} << QByteArray();
        QTest::newRow("help") << QStringList{"-e"} << QByteArray();
        QTest::newRow("stray word") << QStringList{"-h", "a", "-p", "1", "b"} << QByteArray();
        QTest::newRow("port only") << QStringList{"-p", "5900"}
                                   << QByteArray("[ERROR] No host or port found\n");
        QTest::newRow("host too long")
            << QStringList{"-h", QString(30, 'h'), "-p", "1"}
            << QByteArray("[ERROR] Value of option --host is too long (at most 23 characters)\n");
    }
    void usageOnEveryError()
    {
        QFETCH(QStringList, words);
        QFETCH(QByteArray, before);
        Exit result = runParseCmd(words);
        QCOMPARE(result.status, 1);
        QVERIFY2(result.output.endsWith(kUsage), result.output.constData());
        QByteArray head = result.output.left(result.output.size() - int(std::strlen(kUsage)));
        if (before.isEmpty())
            QCOMPARE(head, QByteArray());
        else
            QCOMPARE(head.mid(20), before); // after the timestamp and its blank
    }

    void summaryLineShowsEveryField()
    {
        Exit result = runParseCmd({"-h", "127.0.0.1", "-p", "5900"});
        QCOMPARE(result.status, 42);
        QCOMPARE(result.output.mid(20), QByteArray("[INFO] host: 127.0.0.1, port: 5900, name: , key: \n"));
        result = runParseCmd({"-h", "h", "-p", "1", "-n", "Office", "-k", "1000030"});
        QCOMPARE(result.output.mid(20), QByteArray("[INFO] host: h, port: 1, name: Office, key: 1000030\n"));
    }
};

QTEST_GUILESS_MAIN(TestArgs)
#include "test_args.moc"
