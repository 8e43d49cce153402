// The display path as the session drives it: a 1920x1080 32-bit surface goes in through the real
// surface handlers (display_create, display_update: copy into the block, hand the rectangle to the
// window) and a real, shown SpiceViewer batches, rescales and paints it on Qt's offscreen platform.
// Each measured step ends with the window painted: the batch is flushed (what the repaint timer
// does) and the posted paint requests are delivered. The X server's share (putting the window's
// pixels on a real screen) is not in these figures; tools/compare_peer.py measures that.

#include "agent.h"
#include "spiceviewer.h"

#include <QApplication>
#include <QEvent>
#include <QtTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace
{

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kStride = kWidth * 4;

// A stand-in for the display channel: the handlers only compare its address.
SpiceDisplayChannel* fakeChannel()
{
    static char storage;
    return reinterpret_cast<SpiceDisplayChannel*>(&storage);
}

// Counts the paints the window really gets, so that a benchmark that paints nothing says so.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    QRegion painted;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            painted += static_cast<QPaintEvent*>(event)->region();
        }
        return false;
    }
};

// The library's pixels, one viewer with its own session record, wired as the program does.
struct Rig {
    std::vector<uint8_t> pixels;
    SpiceAgent agent;
    SpiceViewer viewer;
    PaintCounter counter;

    explicit Rig(const QSize& window) : pixels(size_t(kStride) * kHeight)
    {
        std::mt19937 rng(1);
        for (size_t i = 0; i < pixels.size(); i += 4) {
            const uint32_t v = rng() & 0xffffffu;
            std::memcpy(&pixels[i], &v, 4);
        }
        viewer.agent = &agent;
        agent.viewer = &viewer;
        viewer.resize(window);
        viewer.show();
        (void)QTest::qWaitForWindowExposed(&viewer);
        viewer.installEventFilter(&counter);
        display_create(fakeChannel(), 32, kWidth, kHeight, kStride, 0, pixels.data(), &agent);
        update(QRect(0, 0, kWidth, kHeight));
        paintNow();
    }
    ~Rig() { agent.viewer = nullptr; }

    void update(const QRect& r)
    {
        display_update(fakeChannel(), r.x(), r.y(), r.width(), r.height(), &agent);
    }

    // What the repaint timer does when it fires, then the paint it asks for.
    void paintNow()
    {
        viewer.processDirtyRegion();
        QCoreApplication::processEvents();
    }

    // The server changes a few pixels of every rectangle, as a new frame would.
    void touch(const QRect& r, uint32_t value)
    {
        for (int y = r.top(); y <= r.bottom(); y += 7)
            std::memcpy(&pixels[size_t(y) * kStride + size_t(r.left()) * 4], &value, 4);
    }
};

// One per window size for the whole run: creating a viewer is not what is measured. Released
// before the application goes.
std::unique_ptr<Rig> g_small, g_full;

Rig& rig(const QSize& window)
{
    auto& slot = window.width() == kWidth ? g_full : g_small;
    if (!slot)
        slot = std::make_unique<Rig>(window);
    return *slot;
}

std::vector<QRect> randomRects(int count, int side)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> x(0, kWidth - side);
    std::uniform_int_distribution<int> y(0, kHeight - side);
    std::vector<QRect> rects;
    for (int i = 0; i < count; ++i)
        rects.emplace_back(x(rng), y(rng), side, side);
    return rects;
}

// Fails the benchmark when the window was not painted once per iteration.
void checkPainted(benchmark::State& state, Rig& r, int before)
{
    const int paints = r.counter.paints - before;
    if (paints < int(state.iterations()))
        state.SkipWithError("the window was not painted every iteration");
    state.counters["paints/iter"] = double(paints) / double(state.iterations());
}

void fullUpdate(benchmark::State& state, const QSize& window)
{
    Rig& r = rig(window);
    const QRect all(0, 0, kWidth, kHeight);
    const int before = r.counter.paints;
    uint32_t value = 0;
    for (auto _ : state) {
        r.touch(all, ++value);
        r.update(all);
        r.paintNow();
    }
    checkPainted(state, r, before);
    state.SetBytesProcessed(state.iterations() * int64_t(kStride) * kHeight);
}

// The share of the copy into the block and the window's bookkeeping in a full-surface update:
// the paint that follows is left out of the timing.
void BM_FullSurface_CopyOnly(benchmark::State& state)
{
    Rig& r = rig(QSize(800, 600));
    const QRect all(0, 0, kWidth, kHeight);
    uint32_t value = 0;
    for (auto _ : state) {
        r.touch(all, ++value);
        r.update(all);
        state.PauseTiming();
        r.paintNow();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kStride) * kHeight);
}
BENCHMARK(BM_FullSurface_CopyOnly)->Unit(benchmark::kMillisecond);

// One frame of a full-screen animation in the default window: copy, rescale, paint.
void BM_FullSurface_Window800x600(benchmark::State& state)
{
    fullUpdate(state, QSize(800, 600));
}
BENCHMARK(BM_FullSurface_Window800x600)->Unit(benchmark::kMillisecond);

// The same at 1:1: no rescale, the picture is drawn as it is.
void BM_FullSurface_Window1920x1080(benchmark::State& state)
{
    fullUpdate(state, QSize(kWidth, kHeight));
}
BENCHMARK(BM_FullSurface_Window1920x1080)->Unit(benchmark::kMillisecond);

void rectUpdates(benchmark::State& state, const QSize& window, int count, int side)
{
    Rig& r = rig(window);
    // Several batches, so that iterations do not hit the same cache lines.
    const std::vector<QRect> rects = randomRects(count * 16, side);
    const int before = r.counter.paints;
    size_t batch = 0;
    uint32_t value = 0;
    for (auto _ : state) {
        ++value;
        for (int i = 0; i < count; ++i) {
            const QRect& rect = rects[batch * count + i];
            r.touch(rect, value);
            r.update(rect);
        }
        r.paintNow();
        batch = (batch + 1) % 16;
    }
    checkPainted(state, r, before);
    state.SetItemsProcessed(state.iterations() * count);
}

// One 64x64 rectangle (a cursor-sized change, a character being typed) and its paint.
void BM_Rect64_Window800x600(benchmark::State& state)
{
    rectUpdates(state, QSize(800, 600), 1, 64);
}
BENCHMARK(BM_Rect64_Window800x600)->Unit(benchmark::kMicrosecond);

void BM_Rect64_Window1920x1080(benchmark::State& state)
{
    rectUpdates(state, QSize(kWidth, kHeight), 1, 64);
}
BENCHMARK(BM_Rect64_Window1920x1080)->Unit(benchmark::kMicrosecond);

// A hundred small rectangles inside one batch (text scrolling, a busy desktop), one paint.
void BM_Burst100Rects16_Window800x600(benchmark::State& state)
{
    rectUpdates(state, QSize(800, 600), 100, 16);
}
BENCHMARK(BM_Burst100Rects16_Window800x600)->Unit(benchmark::kMicrosecond);

void BM_Burst100Rects16_Window1920x1080(benchmark::State& state)
{
    rectUpdates(state, QSize(kWidth, kHeight), 100, 16);
}
BENCHMARK(BM_Burst100Rects16_Window1920x1080)->Unit(benchmark::kMicrosecond);

// What one rectangle costs before any paint: the copy into the block and the window's
// bookkeeping (regions, timer). The batch is flushed outside the timing.
void BM_Burst100Rects16_NoPaint(benchmark::State& state)
{
    Rig& r = rig(QSize(800, 600));
    const std::vector<QRect> rects = randomRects(100 * 16, 16);
    size_t batch = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i)
            r.update(rects[batch * 100 + i]);
        state.PauseTiming();
        r.paintNow();
        state.ResumeTiming();
        batch = (batch + 1) % 16;
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_Burst100Rects16_NoPaint)->Unit(benchmark::kMicrosecond);

// Echo: one small change (a character typed into a terminal, 288x16, which the server sends as a
// few drawing commands at once: here four pieces) after a quiet period, until the window has
// painted all of it, with the event loop running as in the program (its timers included).
void BM_Echo288x16_AfterQuiet(benchmark::State& state)
{
    Rig& r = rig(QSize(kWidth, kHeight));
    const QRect rect(64, 64, 288, 16);
    uint32_t value = 0;
    for (auto _ : state) {
        state.PauseTiming();
        r.paintNow();
        QTest::qWait(40);
        r.counter.painted = QRegion();
        state.ResumeTiming();
        ++value;
        for (int piece = 0; piece < 4; ++piece) {
            const QRect part(rect.x() + piece * 72, rect.y(), 72, rect.height());
            r.touch(part, value);
            r.update(part);
        }
        while (!QRegion(rect).subtracted(r.counter.painted).isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
BENCHMARK(BM_Echo288x16_AfterQuiet)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// A full-screen frame as Xspice sends it, 32 bands of 1920x34 handed over one by one with the
// event loop running in between, after the gap that separates frames at 30 a second; timed until
// the whole frame is painted. "torn" counts frames of which a part was painted before the rest.
void BM_FrameInBands_30fps(benchmark::State& state)
{
    Rig& r = rig(QSize(kWidth, kHeight));
    constexpr int kBand = 34;
    int torn = 0;
    uint32_t value = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTest::qWait(24);
        state.ResumeTiming();
        const int before = r.counter.paints;
        int beforeLast = before;
        ++value;
        for (int y = 0; y < kHeight; y += kBand) {
            const QRect band(0, y, kWidth, std::min(kBand, kHeight - y));
            r.touch(band, value);
            beforeLast = r.counter.paints;
            r.update(band);
            QCoreApplication::processEvents();
        }
        torn += beforeLast != before;
        while (r.counter.paints == beforeLast)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    state.counters["torn"] = double(torn) / double(state.iterations());
}
BENCHMARK(BM_FrameInBands_30fps)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(60);

// The floor: one copy of the whole surface.
void BM_MemcpySurface(benchmark::State& state)
{
    std::vector<uint8_t> from(size_t(kStride) * kHeight, 1), to(size_t(kStride) * kHeight);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(from.size()));
}
BENCHMARK(BM_MemcpySurface)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    // No display needed; a caller may still pick another platform.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_small.reset();
    g_full.reset();
    return 0;
}
