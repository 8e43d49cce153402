#include "agent.h"
#include "capture.h"
#include "memshare.h"
#include "session_viewer.h"
#include "surface_format.h"

#include <QtTest>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <unistd.h>

namespace
{

struct RecordingViewer : SessionViewer {
    void setTitle(const QString& t) override { title = t; }
    void screenSettingsChanged(void* pixels, ScreenInitInfo& info) override
    {
        surfaces.append({pixels, info});
    }
    void updateImage(Rect* rect) override { updates.append(*rect); }
    void clearDisplay() override { calls << "clear"; }
    void closeWindow() override { calls << "close"; }

    QString title;
    QVector<QPair<void*, ScreenInitInfo>> surfaces;
    QVector<Rect> updates;
    QStringList calls;
};

int openFdCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

bool fdIsOpen(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

// A stand-in for the display channel: only its address is compared.
SpiceDisplayChannel* fakeChannel(int n)
{
    static char storage[4];
    return reinterpret_cast<SpiceDisplayChannel*>(&storage[n]);
}

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 7 + i / 251);
    return bytes;
}

} // namespace

class TestSurface : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void clipping_data()
    {
        QTest::addColumn<QRect>("in");
        QTest::addColumn<QRect>("out");
        QTest::newRow("inside") << QRect(10, 5, 30, 40) << QRect(10, 5, 30, 40);
        QTest::newRow("negative x keeps width") << QRect(-5, 0, 30, 10) << QRect(0, 0, 30, 10);
        QTest::newRow("negative y keeps height") << QRect(0, -7, 10, 30) << QRect(0, 0, 10, 30);
        QTest::newRow("cut at right") << QRect(90, 0, 30, 10) << QRect(90, 0, 10, 10);
        QTest::newRow("cut at bottom") << QRect(0, 45, 10, 30) << QRect(0, 45, 10, 5);
        QTest::newRow("last pixel") << QRect(99, 49, 1, 1) << QRect(99, 49, 1, 1);
        QTest::newRow("right of surface") << QRect(120, 0, 10, 10) << QRect(120, 0, -20, 10);
        QTest::newRow("below surface") << QRect(0, 50, 10, 10) << QRect(0, 50, 10, 0);
    }
    void clipping()
    {
        QFETCH(QRect, in);
        QFETCH(QRect, out);
        Rect r = clipToSurface(in.x(), in.y(), in.width(), in.height(), 100, 50);
        QCOMPARE(QRect(r.x, r.y, r.width, r.height), out);
    }

    void hugeRectanglesDoNotWrap()
    {
        Rect r = clipToSurface(INT32_MAX - 1, 0, INT32_MAX, 10, 100, 50);
        QVERIFY(r.width <= 0);
        r = clipToSurface(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 100, 50);
        QCOMPARE(QRect(r.x, r.y, r.width, r.height), QRect(0, 0, 100, 50));
    }

    void layouts_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("stride");
        QTest::addColumn<int>("status");
        QTest::addColumn<qulonglong>("size");
        QTest::newRow("1920x1080 xRGB") << 32 << 1920 << 1080 << 7680 << int(SurfaceLayout::Ok) << 8294400ull;
        QTest::newRow("padded rows") << 32 << 1000 << 10 << 4096 << int(SurfaceLayout::Ok) << 40960ull;
        QTest::newRow("16-bit") << 16 << 101 << 10 << 202 << int(SurfaceLayout::Ok) << 2020ull;
        QTest::newRow("zero width") << 32 << 0 << 10 << 40 << int(SurfaceLayout::EmptySize) << 0ull;
        QTest::newRow("negative height") << 32 << 10 << -1 << 40 << int(SurfaceLayout::EmptySize) << 0ull;
        QTest::newRow("short rows") << 32 << 100 << 10 << 399 << int(SurfaceLayout::StrideTooSmall) << 0ull;
        QTest::newRow("overflows 32 bits")
            << 32 << 40000 << 40000 << 160000 << int(SurfaceLayout::TooLarge) << 0ull;
        QTest::newRow("just over the cap")
            << 32 << 8193 << 8193 << 32772 << int(SurfaceLayout::TooLarge) << 0ull;
        QTest::newRow("unknown format keeps a block")
            << 8 << 100 << 10 << 100 << int(SurfaceLayout::Ok) << 1000ull;
    }
    void layouts()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, stride);
        QFETCH(int, status);
        QFETCH(qulonglong, size);
        SurfaceLayout layout = surfaceLayout(format, width, height, stride);
        QCOMPARE(int(layout.status), status);
        QCOMPARE(qulonglong(layout.blockSize), size);
    }

    void blockLifecycle()
    {
        RecordingViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        const int fdsBefore = openFdCount();
        std::vector<uint8_t> first = pattern(64 * 4 * 32);

        CoutCapture capture;
        display_create(fakeChannel(0), 32, 64, 32, 256, 0, first.data(), &agent);
        QVERIFY(agent.shm_data);
        QVERIFY(fdIsOpen(agent.shm_fd));
        QCOMPARE(agent.display, fakeChannel(0));
        QCOMPARE(agent.format, 32);
        QCOMPARE(viewer.surfaces.size(), 1);
        QCOMPARE(viewer.surfaces[0].first, static_cast<void*>(agent.shm_data));
        ScreenInitInfo info = viewer.surfaces[0].second;
        QCOMPARE(QVector<int>({info.height, info.width, info.stride, info.format}),
                 QVector<int>({32, 64, 256, 32}));
        // The block starts black, not as a copy of the library's pixels.
        QVERIFY(std::all_of(agent.shm_data, agent.shm_data + 256 * 32, [](uint8_t b) { return b == 0; }));
        QVERIFY(capture.lines().contains("[INFO] new display channel, creating window"));

        const int withOneBlock = openFdCount();
        std::vector<uint8_t> second = pattern(32 * 2 * 16);
        display_create(fakeChannel(0), 16, 32, 16, 64, 0, second.data(), &agent);
        QCOMPARE(openFdCount(), withOneBlock); // the first block's descriptor was closed
        QCOMPARE(agent.format, 16);
        QCOMPARE(viewer.surfaces.size(), 2);

        // A code we cannot show keeps the last accepted format in the record.
        std::vector<uint8_t> third(16 * 16);
        display_create(fakeChannel(0), 8, 16, 16, 16, 0, third.data(), &agent);
        QCOMPARE(agent.format, 16);
        QCOMPARE(viewer.surfaces.last().second.format, 16);
        QCOMPARE(viewer.surfaces.last().second.pixelFormat, 8);

        release_surface_block(&agent);
        QVERIFY(!agent.shm_data);
        QCOMPARE(agent.shm_fd, -1);
        release_surface_block(&agent); // twice is harmless
        QCOMPARE(openFdCount(), fdsBefore);
    }

    void updatesCopyOnlyTheRectangleHonouringStride_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("bpp");
        QTest::addColumn<int>("padding");
        QTest::newRow("32-bit, tight") << 32 << 4 << 0;
        QTest::newRow("32-bit, padded rows") << 32 << 4 << 28;
        QTest::newRow("16-bit 555, tight") << 16 << 2 << 0;
        QTest::newRow("16-bit 565, padded") << 80 << 2 << 6;
    }
    void updatesCopyOnlyTheRectangleHonouringStride()
    {
        QFETCH(int, format);
        QFETCH(int, bpp);
        QFETCH(int, padding);
        const int width = 37, height = 23, stride = width * bpp + padding;
        RecordingViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        std::vector<uint8_t> pixels = pattern(size_t(stride) * height);
        display_create(fakeChannel(0), format, width, height, stride, 0, pixels.data(), &agent);
        QVERIFY(agent.shm_data);
        QCOMPARE(agent.shm_size, size_t(stride) * height);

        display_update(fakeChannel(0), 30, 20, 50, 50, &agent); // reaches past the right and bottom
        QCOMPARE(viewer.updates.size(), 1);
        const Rect r = viewer.updates[0];
        QCOMPARE(QRect(r.x, r.y, r.width, r.height), QRect(30, 20, 7, 3));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < stride; ++x) {
                const size_t at = size_t(y) * stride + x;
                const bool inside = y >= 20 && x >= 30 * bpp && x < 37 * bpp;
                QCOMPARE(agent.shm_data[at], inside ? pixels[at] : uint8_t(0));
            }
        }
        release_surface_block(&agent);
    }

    void nothingIsCopiedWithoutABlockOrFromAnotherChannel()
    {
        RecordingViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        display_update(fakeChannel(0), 0, 0, 10, 10, &agent); // before any surface
        QVERIFY(viewer.updates.isEmpty());

        std::vector<uint8_t> pixels = pattern(40 * 10);
        display_create(fakeChannel(0), 32, 10, 10, 40, 0, pixels.data(), &agent);
        display_update(fakeChannel(1), 0, 0, 10, 10, &agent); // a second display's rectangles
        QVERIFY(viewer.updates.isEmpty());
        QCOMPARE(agent.shm_data[0], uint8_t(0));

        // A rectangle wholly outside is handed on empty and copies nothing.
        display_update(fakeChannel(0), 20, 0, 5, 5, &agent);
        QCOMPARE(viewer.updates.size(), 1);
        QVERIFY(viewer.updates[0].width <= 0);

        // Once the library drops its pixels, nothing reads them: the block keeps what it had.
        display_destroy(fakeChannel(0), &agent);
        QVERIFY(!agent.imgdata);
        std::fill(pixels.begin(), pixels.end(), uint8_t(0xee));
        display_update(fakeChannel(0), 0, 0, 10, 10, &agent);
        QVERIFY(std::all_of(agent.shm_data, agent.shm_data + 40 * 10, [](uint8_t b) { return b == 0; }));
        release_surface_block(&agent);
        display_update(nullptr, 0, 0, 1, 1, nullptr); // no record: nothing at all
    }

    void refusedSurfacesTellTheViewerItIsGone_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("stride");
        QTest::newRow("zero size") << 0 << 0 << 0;
        QTest::newRow("negative width") << -4 << 10 << 40;
        QTest::newRow("block over 32 bits") << 65536 << 65536 << 262144;
        QTest::newRow("absurd block") << 16384 << 8192 << 65536;
    }
    void refusedSurfacesTellTheViewerItIsGone()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, stride);
        RecordingViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        std::vector<uint8_t> small = pattern(16 * 4 * 4);
        display_create(fakeChannel(0), 32, 16, 4, 64, 0, small.data(), &agent);
        QVERIFY(agent.shm_data);

        CoutCapture capture;
        // The pixel pointer is never read for a refused surface, so any address will do.
        display_create(fakeChannel(0), 32, width, height, stride, 0, small.data(), &agent);
        QVERIFY(!agent.shm_data);
        QCOMPARE(agent.shm_fd, -1);
        QCOMPARE(viewer.surfaces.size(), 2);
        QCOMPARE(viewer.surfaces.last().first, nullptr);
        QVERIFY(capture.lines().size() >= 1);
        QVERIFY(capture.lines().first().startsWith("[ERROR] Refusing surface"));
        display_update(fakeChannel(0), 0, 0, 16, 4, &agent);
        QVERIFY(viewer.updates.isEmpty());
    }

    void memshareRefusesWithoutLeaking()
    {
        const int before = openFdCount();
        int fd = 123;
        CoutCapture capture;
        QVERIFY(!create_memshare(-1, &fd));
        QCOMPARE(fd, -1);
        QVERIFY(!create_memshare(0, &fd));
        QCOMPARE(openFdCount(), before);
        QCOMPARE(free_memshare(nullptr, 10), -1);
        void* block = create_memshare(4096, &fd);
        QVERIFY(block);
        QCOMPARE(static_cast<uint8_t*>(block)[4095], uint8_t(0));
        QCOMPARE(free_memshare(block, 4096), 0);
        close(fd);
    }

    void channelPointersGoWithTheirChannels()
    {
        SpiceAgent agent;
        std::vector<uint8_t> pixels(16);
        agent.display = fakeChannel(0);
        agent.imgdata = pixels.data();
        agent.inputs = reinterpret_cast<SpiceInputsChannel*>(fakeChannel(1));
        forget_channels(&agent);
        QVERIFY(!agent.display && !agent.inputs && !agent.main && !agent.imgdata);
    }

    void reconnectWithoutSession()
    {
        CoutCapture capture;
        SpiceAgent agent;
        QCOMPARE(reconnect_spice(&agent), 0);
        QCOMPARE(reconnect_spice(nullptr), 0);
        QCOMPARE(capture.lines(), QStringList({"[INFO] Attempting to reconnect SPICE session",
                                               "[ERROR] SPICE session not initialized",
                                               "[INFO] Attempting to reconnect SPICE session",
                                               "[ERROR] SPICE session not initialized"}));
    }

    void channelEventsDriveTheViewer()
    {
        RecordingViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        CoutCapture capture;
        on_channel_event(nullptr, SPICE_CHANNEL_OPENED, &agent);
        on_channel_event(nullptr, SPICE_CHANNEL_ERROR_CONNECT, &agent);
        on_channel_event(nullptr, SPICE_CHANNEL_CLOSED, &agent);
        on_channel_event(nullptr, SPICE_CHANNEL_OPENED, nullptr);
        QCOMPARE(viewer.calls, QStringList({"state 1", "state 0", "clear", "close"}));
        QCOMPARE(capture.lines(),
                 QStringList({"[INFO] on_channel_event invoked10", "[INFO] 连接已建立",
                              "[INFO] on_channel_event invoked20", "[INFO] on_channel_event invoked12",
                              "[INFO] 连接已关闭", "[INFO] on_channel_event invoked10",
                              "[ERROR] on_channel_event function data is NULL"}));
    }
};

QTEST_GUILESS_MAIN(TestSurface)
#include "test_surface.moc"
