#include "capture.h"
#include "fdpass.h"
#include "memshare.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{


// Descriptor numbers currently open in this process.
QList<int> openDescriptors()
{
    QList<int> result;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return {-1};
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            result << fd;
    }
    closedir(dir);
    std::sort(result.begin(), result.end());
    return result;
}

// Closes what it holds when the test leaves, passing or not.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void reset(int next = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = next;
    }
    int get() const { return fd; }

private:
    int fd;
};

// A wait for a message that never comes (a child that died, a message consumed too early) gives
// up instead of hanging the test; this also bounds accept.
void limitWait(int sock)
{
    timeval limit{10, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

struct SocketPair {
    SocketPair()
    {
        ok = socketpair(AF_UNIX, SOCK_STREAM, 0, raw) == 0;
        limitWait(raw[0]);
        limitWait(raw[1]);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair()
    {
        if (ok) {
            close(raw[0]);
            close(raw[1]);
        }
    }
    int raw[2] = {-1, -1};
    bool ok = false;
};

struct Pipe {
    Pipe() { ok = pipe(raw) == 0; }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    void closeRead()
    {
        if (raw[0] >= 0)
            close(raw[0]);
        raw[0] = -1;
    }
    void closeWrite()
    {
        if (raw[1] >= 0)
            close(raw[1]);
        raw[1] = -1;
    }
    int raw[2] = {-1, -1};
    bool ok = false;
};

// A forked process running `body`; its return value becomes the exit code. A child still running
// when the test gives up is killed, so a failed test never leaves one behind.
class Child
{
public:
    explicit Child(const std::function<int()>& body)
    {
        pid = fork();
        if (pid == 0) {
            // The test framework's crash handler must not turn the child's crash into a report.
            struct sigaction plain {
            };
            plain.sa_handler = SIG_DFL;
            sigaction(SIGSEGV, &plain, nullptr);
            rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            _exit(body());
        }
    }
    ~Child()
    {
        if (pid > 0 && !reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid > 0; }
    int wait()
    {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid)
            return -1;
        reaped = true;
        return status;
    }

private:
    pid_t pid = -1;
    bool reaped = false;
};

unsigned char patternByte(size_t index, quint32 seed)
{
    return static_cast<unsigned char>(((index * 2654435761u) >> 13) ^ seed ^ (index >> 9));
}

struct BlockHeader {
    quint64 size;
    quint32 seed;
};

// Address-space permissions ("r--s" and so on) of the mapping starting at `addr`.
QByteArray mappingPermissions(const void* addr)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    const QByteArray start = QByteArray::number(quintptr(addr), 16);
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 1 && fields[0].split('-').value(0) == start)
            return fields[1];
    }
    return {};
}

// `dir` followed by a file name padded to `length` bytes in all.
QByteArray pathOfLength(const QTemporaryDir& dir, int length, char fill = 'p')
{
    QByteArray path = QFile::encodeName(dir.path()) + '/';
    return path + QByteArray(length - path.size(), fill);
}

bool isSocket(const QByteArray& path)
{
    struct stat info {
    };
    return stat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool exists(const QByteArray& path)
{
    struct stat info {
    };
    return lstat(path.constData(), &info) == 0;
}

// Writing into a pipe whose every read end is gone fails with EPIPE.
bool readersGone(int writeEnd)
{
    const char byte = 'z';
    return write(writeEnd, &byte, 1) == -1 && errno == EPIPE;
}

// Accepts one client on `listener` and checks a byte makes it across.
bool talks(int listener, int client)
{
    Fd served(accept(listener, nullptr, nullptr));
    if (served.get() < 0)
        return false;
    const char sent = 'q';
    char got = 0;
    return write(client, &sent, 1) == 1 && read(served.get(), &got, 1) == 1 && got == sent;
}

} // namespace

class FdPassTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void sharedBlockAcrossProcesses_data();
    void sharedBlockAcrossProcesses();
    void receivedBlockIsReadOnly();
    void severalDescriptorsWithData_data();
    void severalDescriptorsWithData();

    void recvWithoutRoomTouchesNothing();
    void sendWithoutDescriptorsSendsNothing();
    void refusesMessageWithoutDescriptors();
    void refusesWrongDescriptorCount_data();
    void refusesWrongDescriptorCount();
    void refusesForeignControlMessage();
    void reportsSocketFailures();

    void connectRefusesOverlongPath();
    void connectToMissingSocket();
    void listenReplacesExistingPath_data();
    void listenReplacesExistingPath();
    void listenCutsOverlongPath();
    void listenBindFailure();

    void noBlockingKeepsOtherFlags();
    void noBlockingOnBadDescriptor();
    void mapFailure();

private:
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/test_fdpass-XXXXXX")};
};

void FdPassTest::initTestCase()
{
    QVERIFY(dir.isValid());
    // Room for file names that take the path across the 107-byte address limit.
    QVERIFY(QFile::encodeName(dir.path()).size() < 90);
    // Writes to dead pipes and sockets must fail, not end the test.
    signal(SIGPIPE, SIG_IGN);
}

void FdPassTest::sharedBlockAcrossProcesses_data()
{
    QTest::addColumn<bool>("listening");
    QTest::newRow("socket pair") << false;
    QTest::newRow("listening socket") << true;
}

void FdPassTest::sharedBlockAcrossProcesses()
{
    QFETCH(bool, listening);
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("share.sock")));

    Fd parentEnd, childEnd, listener;
    if (listening) {
        listener.reset(listen_unixsocket(path.constData()));
        QVERIFY(listener.get() >= 0);
        limitWait(listener.get());
    } else {
        int ends[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
        parentEnd.reset(ends[0]);
        childEnd.reset(ends[1]);
    }

    // The child exists before the block does, so it can only know the block through the message.
    Child child([&]() -> int {
        int sock = childEnd.get();
        if (listening) {
            close(listener.get());
            sock = connect_unixsocket(path.constData());
            if (sock < 0)
                return 9;
        } else {
            close(parentEnd.get());
        }
        limitWait(sock);
        BlockHeader header{};
        int fd = -1;
        if (recv_fd(sock, &fd, 1, &header, sizeof header) != 0)
            return 10;
        auto* block = static_cast<const volatile unsigned char*>(get_memshare(header.size, fd));
        if (!block)
            return 11;
        for (size_t i = 0; i < header.size; ++i) {
            if (block[i] != patternByte(i, header.seed))
                return 12;
        }
        const char checked = 'k';
        if (write(sock, &checked, 1) != 1)
            return 13;
        // The parent now changes the last byte; a copy would not see it.
        unsigned char changed = 0;
        if (read(sock, &changed, 1) != 1)
            return 14;
        if (block[header.size - 1] != changed)
            return 15;
        free_memshare(const_cast<unsigned char*>(block), header.size);
        close(fd);
        return 0;
    });
    QVERIFY(child.started());

    int sock = parentEnd.get();
    Fd served;
    if (listening) {
        served.reset(accept(listener.get(), nullptr, nullptr));
        QVERIFY(served.get() >= 0);
        sock = served.get();
    }
    limitWait(sock);

    const BlockHeader header{(1u << 20) + 4093, QRandomGenerator::global()->generate()};
    int fd = -1;
    auto* block = static_cast<unsigned char*>(create_memshare(long(header.size), &fd));
    QVERIFY(block);
    Fd owned(fd);
    for (size_t i = 0; i < header.size; ++i)
        block[i] = patternByte(i, header.seed);

    QCOMPARE(send_fd(sock, &fd, 1, const_cast<BlockHeader*>(&header), sizeof header), 0);
    char checked = 0;
    QCOMPARE(read(sock, &checked, 1), ssize_t(1));
    QCOMPARE(checked, 'k');
    const unsigned char changed = static_cast<unsigned char>(~block[header.size - 1]);
    block[header.size - 1] = changed;
    QCOMPARE(write(sock, &changed, 1), ssize_t(1));

    const int status = child.wait();
    QVERIFY2(WIFEXITED(status), "child did not exit normally");
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(free_memshare(block, header.size), 0);
}

void FdPassTest::receivedBlockIsReadOnly()
{
    SocketPair pair;
    QVERIFY(pair.ok);
    const size_t size = 3 * 4096;

    Child child([&]() -> int {
        close(pair.raw[0]);
        limitWait(pair.raw[1]);
        int fd = -1;
        unsigned char first = 0;
        if (recv_fd(pair.raw[1], &fd, 1, &first, 1) != 0)
            return 10;
        auto* block = static_cast<volatile unsigned char*>(get_memshare(size, fd));
        if (!block)
            return 11;
        if (block[0] != first)
            return 12;
        block[0] = static_cast<unsigned char>(~first);
        return 20;
    });
    QVERIFY(child.started());

    int fd = -1;
    auto* block = static_cast<unsigned char*>(create_memshare(long(size), &fd));
    QVERIFY(block);
    Fd owned(fd);
    std::memset(block, 0x5a, size);
    unsigned char first = 0x5a;
    QCOMPARE(send_fd(pair.raw[0], &fd, 1, &first, 1), 0);

    const int status = child.wait();
    QVERIFY2(WIFSIGNALED(status),
             qPrintable(QStringLiteral("child exited with %1").arg(WEXITSTATUS(status))));
    QCOMPARE(WTERMSIG(status), SIGSEGV);
    QCOMPARE(block[0], static_cast<unsigned char>(0x5a));

    // The same holds in this process: the view is shared but has no write permission.
    void* view = get_memshare(size, fd);
    QVERIFY(view);
    QCOMPARE(mappingPermissions(view), QByteArray("r--s"));
    QCOMPARE(mappingPermissions(block), QByteArray("rw-s"));
    QCOMPARE(free_memshare(view, size), 0);
    QCOMPARE(free_memshare(block, size), 0);
}

void FdPassTest::severalDescriptorsWithData_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("dataLength");
    QTest::newRow("one, one byte") << 1 << 1;
    QTest::newRow("three") << 3 << 300;
    QTest::newRow("sixteen") << 16 << 4000;
}

void FdPassTest::severalDescriptorsWithData()
{
    QFETCH(int, count);
    QFETCH(int, dataLength);
    SocketPair pair;
    QVERIFY(pair.ok);
    const QList<int> before = openDescriptors();

    std::vector<Pipe> pipes(static_cast<size_t>(count));
    std::vector<int> readEnds;
    for (int i = 0; i < count; ++i) {
        QVERIFY(pipes[size_t(i)].ok);
        const char tag = char('A' + i);
        QCOMPARE(write(pipes[size_t(i)].raw[1], &tag, 1), ssize_t(1));
        readEnds.push_back(pipes[size_t(i)].raw[0]);
    }
    QByteArray data(dataLength, Qt::Uninitialized);
    for (int i = 0; i < dataLength; ++i)
        data[i] = char(patternByte(size_t(i), quint32(count)));

    QCOMPARE(send_fd(pair.raw[0], readEnds.data(), count, data.data(), data.size()), 0);
    QByteArray received(dataLength, '\0');
    std::vector<int> got(size_t(count), -1);
    QCOMPARE(recv_fd(pair.raw[1], got.data(), count, received.data(), received.size()), 0);
    QCOMPARE(received, data);
    char extra = 0;
    const ssize_t left = recv(pair.raw[1], &extra, 1, MSG_DONTWAIT);
    const int leftError = errno;
    QCOMPARE(left, ssize_t(-1));
    QCOMPARE(leftError, EAGAIN);

    for (int i = 0; i < count; ++i) {
        Fd mine(got[size_t(i)]);
        QVERIFY(mine.get() >= 0);
        QVERIFY(!before.contains(mine.get()));
        QVERIFY(std::find(readEnds.begin(), readEnds.end(), mine.get()) == readEnds.end());
        char tag = 0;
        QCOMPARE(read(mine.get(), &tag, 1), ssize_t(1));
        QCOMPARE(tag, char('A' + i));
    }
    for (Pipe& p : pipes) {
        p.closeRead();
        p.closeWrite();
    }
    QCOMPARE(openDescriptors(), before);
}

void FdPassTest::recvWithoutRoomTouchesNothing()
{
    SocketPair pair;
    QVERIFY(pair.ok);
    Pipe p;
    QVERIFY(p.ok);
    char payload[4] = {'d', 'a', 't', 'a'};
    QCOMPARE(send_fd(pair.raw[0], &p.raw[0], 1, payload, sizeof payload), 0);

    const QList<int> before = openDescriptors();
    char buffer[4] = {};
    int fd = -1;
    {
        CoutCapture log;
        QCOMPARE(recv_fd(pair.raw[1], nullptr, 1, buffer, sizeof buffer), -1);
        QCOMPARE(recv_fd(pair.raw[1], &fd, 0, buffer, sizeof buffer), -1);
        QCOMPARE(recv_fd(pair.raw[1], &fd, -2, buffer, sizeof buffer), -1);
        QCOMPARE(log.text(), std::string());
    }
    QCOMPARE(fd, -1);
    QCOMPARE(openDescriptors(), before);

    // The message was left where it was.
    QCOMPARE(recv_fd(pair.raw[1], &fd, 1, buffer, sizeof buffer), 0);
    Fd mine(fd);
    QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray("data"));
}

void FdPassTest::sendWithoutDescriptorsSendsNothing()
{
    SocketPair pair;
    QVERIFY(pair.ok);
    int fd = 0;
    char byte = 'x';
    CoutCapture log;
    QCOMPARE(send_fd(pair.raw[0], nullptr, 1, &byte, 1), -1);
    QCOMPARE(send_fd(pair.raw[0], &fd, 0, &byte, 1), -1);
    QCOMPARE(send_fd(pair.raw[0], &fd, -1, &byte, 1), -1);
    const ssize_t received = recv(pair.raw[1], &byte, 1, MSG_DONTWAIT);
    const int receiveError = errno;
    QCOMPARE(received, ssize_t(-1));
    QCOMPARE(receiveError, EAGAIN);
    QCOMPARE(log.text(), std::string());
}

void FdPassTest::refusesMessageWithoutDescriptors()
{
    SocketPair pair;
    QVERIFY(pair.ok);
    QCOMPARE(write(pair.raw[0], "plain", 5), ssize_t(5));

    const QList<int> before = openDescriptors();
    char buffer[5] = {};
    int fd = -1;
    CoutCapture log;
    QCOMPARE(recv_fd(pair.raw[1], &fd, 1, buffer, sizeof buffer), -1);
    QCOMPARE(log.errors(), QStringList{QStringLiteral("received message without descriptors")});
    QCOMPARE(openDescriptors(), before);
    QCOMPARE(fd, -1);
}

void FdPassTest::refusesWrongDescriptorCount_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("room");
    QTest::addColumn<QStringList>("allowed");
    const QString wrong = QStringLiteral("received wrong number of descriptors");
    const QString truncated = QStringLiteral("received descriptors were truncated");
    QTest::newRow("one of three") << 1 << 3 << QStringList{wrong};
    QTest::newRow("four of eight") << 4 << 8 << QStringList{wrong};
    QTest::newRow("four into room for two") << 4 << 2 << QStringList{truncated};
    QTest::newRow("nine into room for four") << 9 << 4 << QStringList{truncated};
    // The control buffer's alignment padding may hold the extra one, or the kernel may cut it off.
    QTest::newRow("two into room for one") << 2 << 1 << QStringList{wrong, truncated};
}

void FdPassTest::refusesWrongDescriptorCount()
{
    QFETCH(int, sent);
    QFETCH(int, room);
    QFETCH(QStringList, allowed);
    SocketPair pair;
    QVERIFY(pair.ok);

    std::vector<Pipe> pipes(static_cast<size_t>(sent));
    std::vector<int> readEnds;
    for (Pipe& p : pipes) {
        QVERIFY(p.ok);
        readEnds.push_back(p.raw[0]);
    }
    char byte = 'm';
    QCOMPARE(send_fd(pair.raw[0], readEnds.data(), sent, &byte, 1), 0);
    // From here on the only copies of the read ends are the ones in flight.
    for (Pipe& p : pipes)
        p.closeRead();

    const QList<int> before = openDescriptors();
    std::vector<int> got(size_t(room), -1);
    CoutCapture log;
    QCOMPARE(recv_fd(pair.raw[1], got.data(), room, &byte, 1), -1);
    const QStringList errors = log.errors();
    QCOMPARE(errors.size(), 1);
    QVERIFY2(allowed.contains(errors.first()), qPrintable(errors.first()));
    QCOMPARE(openDescriptors(), before);
    QVERIFY(std::all_of(got.begin(), got.end(), [](int fd) { return fd == -1; }));
    for (Pipe& p : pipes)
        QVERIFY(readersGone(p.raw[1]));
}

void FdPassTest::refusesForeignControlMessage()
{
    SocketPair pair;
    QVERIFY(pair.ok);
    const int on = 1;
    QCOMPARE(setsockopt(pair.raw[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);

    // Credentials arrive ahead of the descriptors, with room enough for both.
    Pipe first, second;
    QVERIFY(first.ok && second.ok);
    int readEnds[2] = {first.raw[0], second.raw[0]};
    char byte = 'c';
    QCOMPARE(send_fd(pair.raw[0], readEnds, 2, &byte, 1), 0);
    first.closeRead();
    second.closeRead();

    const QList<int> before = openDescriptors();
    int got[16];
    std::fill(std::begin(got), std::end(got), -1);
    {
        CoutCapture log;
        QCOMPARE(recv_fd(pair.raw[1], got, 16, &byte, 1), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("received unexpected control message")});
    }
    QCOMPARE(openDescriptors(), before);
    QVERIFY(readersGone(first.raw[1]));
    QVERIFY(readersGone(second.raw[1]));

    // Credentials alone are no better.
    QCOMPARE(write(pair.raw[0], &byte, 1), ssize_t(1));
    CoutCapture log;
    QCOMPARE(recv_fd(pair.raw[1], got, 16, &byte, 1), -1);
    QCOMPARE(log.errors(), QStringList{QStringLiteral("received unexpected control message")});
    QCOMPARE(openDescriptors(), before);
}

void FdPassTest::reportsSocketFailures()
{
    Pipe p;
    QVERIFY(p.ok);
    int fd = p.raw[0];
    char byte = 'f';
    {
        CoutCapture log;
        QCOMPARE(send_fd(p.raw[1], &fd, 1, &byte, 1), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("failed to send message")});
    }
    {
        CoutCapture log;
        QCOMPARE(recv_fd(p.raw[0], &fd, 1, &byte, 1), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("failed to receive message")});
    }
    {
        // A vanished peer: without SIGPIPE ignored this would end the process.
        int ends[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
        Fd mine(ends[0]);
        close(ends[1]);
        CoutCapture log;
        QCOMPARE(send_fd(mine.get(), &fd, 1, &byte, 1), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("failed to send message")});
    }
}

void FdPassTest::connectRefusesOverlongPath()
{
    // A listener sits at the first 107 bytes, where a cut-short address would land.
    const QByteArray prefix = pathOfLength(dir, 107, 'c');
    const QByteArray overlong = prefix + 'c';
    QCOMPARE(overlong.size(), 108);
    Fd listener(listen_unixsocket(prefix.constData()));
    QVERIFY(listener.get() >= 0);

    const QList<int> before = openDescriptors();
    {
        CoutCapture log;
        QCOMPARE(connect_unixsocket(overlong.constData()), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("socket path too long")});
    }
    QCOMPARE(openDescriptors(), before);

    // 107 bytes is still an address.
    CoutCapture log;
    Fd client(connect_unixsocket(prefix.constData()));
    QVERIFY(client.get() >= 0);
    QVERIFY(talks(listener.get(), client.get()));
    QCOMPARE(log.text(), std::string());
}

void FdPassTest::connectToMissingSocket()
{
    const QList<QByteArray> paths{QFile::encodeName(dir.filePath(QStringLiteral("absent.sock"))),
                                  pathOfLength(dir, 107, 'm')};
    for (const QByteArray& path : paths) {
        QVERIFY(!exists(path));
        const QList<int> before = openDescriptors();
        CoutCapture log;
        QCOMPARE(connect_unixsocket(path.constData()), -1);
        QCOMPARE(log.errors(), QStringList{QStringLiteral("connect error")});
        QCOMPARE(openDescriptors(), before);
    }
}

void FdPassTest::listenReplacesExistingPath_data()
{
    QTest::addColumn<QString>("occupant");
    QTest::newRow("nothing") << QString();
    QTest::newRow("plain file") << QStringLiteral("file");
    QTest::newRow("stale socket") << QStringLiteral("socket");
    QTest::newRow("live socket") << QStringLiteral("listening");
}

void FdPassTest::listenReplacesExistingPath()
{
    QFETCH(QString, occupant);
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("replace-%1.sock").arg(occupant)));

    Fd earlier;
    if (occupant == QLatin1String("file")) {
        QFile file(QFile::decodeName(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write("occupied"), qint64(8));
    } else if (!occupant.isEmpty()) {
        earlier.reset(listen_unixsocket(path.constData()));
        QVERIFY(earlier.get() >= 0);
        if (occupant == QLatin1String("socket"))
            earlier.reset();
        QVERIFY(isSocket(path));
    }
    QCOMPARE(exists(path), !occupant.isEmpty());

    CoutCapture log;
    Fd listener(listen_unixsocket(path.constData()));
    QVERIFY(listener.get() >= 0);
    QVERIFY(isSocket(path));
    Fd client(connect_unixsocket(path.constData()));
    QVERIFY(client.get() >= 0);
    QVERIFY(talks(listener.get(), client.get()));
    QCOMPARE(log.text(), std::string());
}

void FdPassTest::listenCutsOverlongPath()
{
    const QByteArray full = pathOfLength(dir, 130, 'l');
    const QByteArray prefix = full.left(107);

    CoutCapture log;
    Fd listener(listen_unixsocket(full.constData()));
    QVERIFY(listener.get() >= 0);
    QVERIFY(isSocket(prefix));
    QVERIFY(!exists(full));
    QVERIFY(!exists(prefix + 'l'));
    Fd client(connect_unixsocket(prefix.constData()));
    QVERIFY(client.get() >= 0);
    QVERIFY(talks(listener.get(), client.get()));
    QCOMPARE(log.text(), std::string());
}

void FdPassTest::listenBindFailure()
{
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("no-such-dir/bind.sock")));
    const QList<int> before = openDescriptors();
    CoutCapture log;
    QCOMPARE(listen_unixsocket(path.constData()), -1);
    QCOMPARE(log.errors(), QStringList{QStringLiteral("bind error")});
    QCOMPARE(openDescriptors(), before);
}

void FdPassTest::noBlockingKeepsOtherFlags()
{
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("append.txt")));
    Fd file(open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    QVERIFY(file.get() >= 0);
    const int flags = fcntl(file.get(), F_GETFL);
    QVERIFY(!(flags & O_NONBLOCK));

    CoutCapture log;
    QCOMPARE(setnoblocking(file.get()), 0);
    const int after = fcntl(file.get(), F_GETFL);
    QCOMPARE(after, flags | O_NONBLOCK);
    QCOMPARE(after & O_ACCMODE, O_WRONLY);
    QVERIFY(after & O_APPEND);

    // And it takes effect: an empty pipe no longer blocks its reader.
    Pipe p;
    QVERIFY(p.ok);
    QCOMPARE(setnoblocking(p.raw[0]), 0);
    char byte = 0;
    const ssize_t got = read(p.raw[0], &byte, 1);
    const int readError = errno;
    QCOMPARE(got, ssize_t(-1));
    QCOMPARE(readError, EAGAIN);
    QCOMPARE(log.text(), std::string());
}

void FdPassTest::noBlockingOnBadDescriptor()
{
    // perror goes to stderr; catch it in a file for the duration of the call.
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("stderr.txt")));
    Fd sink(open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    QVERIFY(sink.get() >= 0);
    std::fflush(stderr);
    Fd savedStderr(dup(STDERR_FILENO));
    QVERIFY(savedStderr.get() >= 0);
    // A number that was valid a moment ago and is free now.
    Fd bad(open("/dev/null", O_RDONLY));
    QVERIFY(bad.get() >= 0);
    const int badFd = bad.get();
    bad.reset();
    QVERIFY(dup2(sink.get(), STDERR_FILENO) >= 0);
    int result = 0;
    std::string logged;
    {
        CoutCapture log;
        result = setnoblocking(badFd);
        logged = log.text();
    }
    std::fflush(stderr);
    dup2(savedStderr.get(), STDERR_FILENO);

    QCOMPARE(result, -1);
    QCOMPARE(logged, std::string());
    QFile written(QFile::decodeName(path));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("fcntl(F_GETFL): ") + QByteArray(std::strerror(EBADF)) + '\n');
}

void FdPassTest::mapFailure()
{
    const QList<int> before = openDescriptors();
    CoutCapture log;
    QVERIFY(!get_memshare(4096, -1));
    QCOMPARE(log.errors(), QStringList{QStringLiteral("mmap failed")});
    QCOMPARE(openDescriptors(), before);
}

QTEST_GUILESS_MAIN(FdPassTest)
#include "test_fdpass.moc"
