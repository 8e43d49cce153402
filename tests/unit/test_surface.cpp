#include "agent.h"
#include "capture.h"
#include "memshare.h"
#include "session_viewer.h"
#include "surface_format.h"

#include <QtTest>

// The session record, its viewer recording what the real handlers tell it. The handlers only
// compare display channels' addresses, so two stand-ins do.
struct Session : SessionViewer {
    SpiceDisplayChannel* const channels[2] = {(SpiceDisplayChannel*)&blocks, (SpiceDisplayChannel*)&updates};
    Session()
    {
        agent.viewer = this;
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = uint8_t(1 + i % 251); // never 0, the blank block's byte
    }
    ~Session() { release_surface_block(&agent); }
    void create(int format, int width, int height, int stride)
    {
        display_create(channels[0], format, width, height, stride, 0, pixels.data(), &agent);
    }
    bool blank() const
    {
        return std::count(agent.shm_data, agent.shm_data + agent.shm_size, 0) == long(agent.shm_size);
    }
    void setTitle(const QString&) override {}
    void screenSettingsChanged(void* block, ScreenInitInfo&) override { blocks << block; }
    void updateImage(Rect* r) override { updates << QRect(r->x, r->y, r->width, r->height); }
    void clearDisplay() override {}
    void closeWindow() override {}
    SpiceAgent agent;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(1 << 16);
    QVector<void*> blocks;
    QVector<QRect> updates;
    CoutCapture log;
};

class TestSurface : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void blocksAreSizedWithoutOverflow()
    {
        const struct {
            const char* name;
            int format, width, height, stride;
            bool accepted;
        } rows[] = {
            {"1920x1080", 32, 1920, 1080, 7680, true},
            {"16-bit, padded rows", 16, 101, 10, 204, true},
            {"unknown format: a black block", 8, 100, 10, 100, true},
            {"at the cap", 32, 8192, 8192, 32768, true},
            {"a row over the cap", 32, 8192, 8193, 32768, false},
            {"height x stride wraps 32 bits", 32, 65536, 65537, 262144, false},
            {"width x 4 wraps 32 bits", 32, 1 << 30, 1, 64, false},
            {"rows shorter than their pixels", 32, 100, 10, 399, false},
            {"empty", 32, 0, 0, 0, false},
            {"negative width", 32, -4, 10, 40, false},
        };
        const int before = openDescriptorCount();
        for (const auto& row : rows) {
            Session s;
            s.create(32, 4, 4, 16);
            s.create(row.format, row.width, row.height, row.stride); // the first block goes, whatever comes
            QVERIFY2(s.blocks.last() == s.agent.shm_data && bool(s.agent.shm_data) == row.accepted, row.name);
            QVERIFY2(openDescriptorCount() == before + int(row.accepted), row.name);
            // Mapped to its end: a block cut short by an overflow would fault here.
            QVERIFY2(!row.accepted || s.agent.shm_data[size_t(row.height) * size_t(row.stride) - 1] == 0,
                     row.name);
        }
        QCOMPARE(openDescriptorCount(), before);
    }

    void copyHonoursStrideAndPixelSize()
    {
        for (auto [format, bpp, padding] : {std::tuple{32, 4, 0}, {96, 4, 28}, {16, 2, 6}, {80, 2, 2}}) {
            const int width = 37, height = 23, stride = width * bpp + padding;
            Session s;
            s.create(format, width, height, stride);
            display_update(s.channels[0], 30, 20, 50, 50, &s.agent); // past the right and the bottom
            QCOMPARE(s.updates, QVector<QRect>{QRect(30, 20, 7, 3)});
            std::vector<uint8_t> expected(size_t(height * stride));
            for (int y = 20; y < height; ++y)
                std::copy_n(&s.pixels[y * stride + 30 * bpp], 7 * bpp, &expected[y * stride + 30 * bpp]);
            QVERIFY2(std::equal(expected.begin(), expected.end(), s.agent.shm_data),
                     QByteArray::number(format));
        }
    }

    void updatesReadOnlyTheCurrentSurface()
    {
        Session s;
        display_update(s.channels[0], 0, 0, 10, 10, &s.agent); // before any surface
        s.create(32, 10, 10, 40);
        display_update(s.channels[1], 0, 0, 10, 10, &s.agent); // another display's rectangle
        QVERIFY(s.updates.isEmpty() && s.blank());
        // The library frees its pixels with the surface: nothing may read them after.
        display_destroy(s.channels[0], &s.agent);
        std::fill(s.pixels.begin(), s.pixels.end(), 0xee);
        display_update(s.channels[0], 0, 0, 10, 10, &s.agent);
        QVERIFY(s.blank());
        s.create(32, 10, 10, 39); // refused: the block is released, and with it any place to copy to
        display_update(s.channels[0], 0, 0, 10, 10, &s.agent);
        QCOMPARE(s.updates.size(), 1);
    }

    void failedBlocksLeakNoDescriptor()
    {
        const int before = openDescriptorCount();
        CoutCapture log;
        for (long size : {-1L, 0L, 1L << 62}) {
            int fd = 123;
            QVERIFY(!create_memshare(size, &fd) && fd == -1);
        }
        QCOMPARE(openDescriptorCount(), before);
    }

    // Each format's pure red as the protocol lays it out reads as red: not so for a 16-bit surface
    // read as 32-bit, or 555 read as 565.
    void qtFormatsReadTheServersPixels()
    {
        for (auto [format, red] :
             {std::pair{32, 0x00ff0000u}, {96, 0x80ff0000u}, {16, 0x7c00u}, {80, 0xf800u}}) {
            const quint32 pixel = bytesPerPixel(format) == 2 ? red | red << 16 : red;
            const QImage image(reinterpret_cast<const uchar*>(&pixel), 1, 1, 4, qtImageFormat(format));
            QCOMPARE(image.depth(), 8 * bytesPerPixel(format));
            QCOMPARE(image.pixel(0, 0), qRgb(255, 0, 0));
        }
        for (int code = 0; code < 256; ++code) // no code sized but unreadable, or readable but unsized
            QCOMPARE(bytesPerPixel(code) == 0, qtImageFormat(code) == QImage::Format_Invalid);
    }
};

QTEST_GUILESS_MAIN(TestSurface)
#include "test_surface.moc"
