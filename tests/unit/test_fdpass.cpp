#include "capture.h"
#include "fdpass.h"
#include "memshare.h"

#include <QtTest>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>

// Messages recv_fd must refuse: descriptors sent (0: plain data), room asked for, credentials along.
const struct {
    const char* name;
    int sent, room, credentials;
    const char* error;
} kRefusals[] = {
    {"no control data", 0, 1, 0, "received message without descriptors"},
    {"foreign control message", 2, 16, 1, "received unexpected control message"},
    {"credentials alone", 0, 16, 1, "received unexpected control message"},
    {"one of three", 1, 3, 0, "received wrong number of descriptors"},
    // An odd count leaves alignment padding that holds one more: a count, not a truncation.
    {"two into room for one", 2, 1, 0, "received wrong number of descriptors"},
    {"four into room for two", 4, 2, 0, "received descriptors were truncated"},
};

class TestFdPass : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void refusalsLeakNothing_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRefusals)); ++i)
            QTest::newRow(kRefusals[i].name) << i;
    }
    // A refused message closes whatever descriptors it brought and hands none out.
    void refusalsLeakNothing()
    {
        QFETCH(int, row);
        const auto& r = kRefusals[row];
        int pair[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        QCOMPARE(setsockopt(pair[1], SOL_SOCKET, SO_PASSCRED, &r.credentials, sizeof r.credentials), 0);
        const int before = openDescriptorCount();
        std::vector<int> fds, got(size_t(r.room), -1);
        for (int i = 0; i < r.sent; ++i)
            fds.push_back(open("/dev/null", O_RDONLY));
        char byte = 'm';
        QVERIFY(r.sent ? send_fd(pair[0], fds.data(), r.sent, &byte, 1) == 0 : write(pair[0], &byte, 1) == 1);
        for (int fd : fds)
            close(fd); // the only copies left are those in flight
        CoutCapture log;
        QCOMPARE(recv_fd(pair[1], got.data(), r.room, &byte, 1), -1);
        QCOMPARE(log.lines(), QStringList(QString("[ERROR] ") + r.error));
        QCOMPARE(openDescriptorCount(), before);
        QCOMPARE(got, std::vector<int>(size_t(r.room), -1));
        close(pair[0]);
        close(pair[1]);
    }

    // A child that knows the block only through the message sees its bytes, and later changes to them.
    void twoProcessesShareABlock()
    {
        const QByteArray path = QFile::encodeName(QDir::temp().filePath("test_fdpass-%1").arg(getpid()));
        const int listener = listen_unixsocket(path.constData());
        const size_t size = (1u << 20) + 4093;
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);
            const int sock = connect_unixsocket(path.constData());
            int fd = -1;
            char changed = 0;
            if (recv_fd(sock, &fd, 1, &changed, 1) != 0)
                _exit(1);
            const auto* block = static_cast<const volatile uint8_t*>(get_memshare(size, fd));
            for (size_t i = 0; i < size; ++i)
                if (block[i] != uint8_t(i * 7 + i / 4093))
                    _exit(2);
            const bool seen = write(sock, "k", 1) == 1 && read(sock, &changed, 1) == 1;
            _exit(seen && block[size - 1] == uint8_t(changed) ? 0 : 3);
        }
        const timeval limit{10, 0}; // bounds accept, should the child never come
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const int served = accept(listener, nullptr, nullptr);
        int fd = -1, status = -1;
        auto* block = static_cast<uint8_t*>(create_memshare(long(size), &fd));
        for (size_t i = 0; i < size; ++i)
            block[i] = uint8_t(i * 7 + i / 4093);
        char reply = 0;
        QCOMPARE(send_fd(served, &fd, 1, &reply, 1), 0);
        QCOMPARE(read(served, &reply, 1), ssize_t(1));
        block[size - 1] ^= 0xff; // a copy would not see this
        QCOMPARE(write(served, block + size - 1, 1), ssize_t(1));
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(status, 0);
        unlink(path.constData());
    }
};

QTEST_GUILESS_MAIN(TestFdPass)
#include "test_fdpass.moc"
