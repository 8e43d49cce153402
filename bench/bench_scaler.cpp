#include "scaler.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace
{

const QSize kScreen(1920, 1080);
const QSize kWindow(800, 450);

QImage noise(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    std::mt19937 rng(42);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = 0xff000000u | (rng() & 0xffffffu);
    }
    return image;
}

std::vector<QRect> randomRects(int count, int side, const QSize& bounds)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> x(0, bounds.width() - side);
    std::uniform_int_distribution<int> y(0, bounds.height() - side);
    std::vector<QRect> rects;
    for (int i = 0; i < count; ++i)
        rects.emplace_back(x(rng), y(rng), side, side);
    return rects;
}

void scaleWhole(benchmark::State& state, const QSize& from, const QSize& to)
{
    const QImage source = noise(from);
    QImage target(to, QImage::Format_RGB32);
    for (auto _ : state) {
        scaleRegion(source, target, target.rect());
        benchmark::DoNotOptimize(target.constBits());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * to.width() * to.height());
}

void BM_WholeScreenDown(benchmark::State& state)
{
    scaleWhole(state, kScreen, kWindow);
}
BENCHMARK(BM_WholeScreenDown)->Unit(benchmark::kMillisecond);

void BM_WholeScreenDownOdd(benchmark::State& state)
{
    scaleWhole(state, kScreen, QSize(801, 450));
}
BENCHMARK(BM_WholeScreenDownOdd)->Unit(benchmark::kMillisecond);

void BM_WholeScreenUp(benchmark::State& state)
{
    scaleWhole(state, QSize(640, 480), QSize(1600, 1200));
}
BENCHMARK(BM_WholeScreenUp)->Unit(benchmark::kMillisecond);

// What the viewer does per changed rectangle: find the affected part, rescale only that.
void updateRects(benchmark::State& state, int count, int side)
{
    const QImage source = noise(kScreen);
    QImage target(kWindow, QImage::Format_RGB32);
    scaleRegion(source, target, target.rect());
    // Several batches so successive iterations do not hit the same cache lines.
    const std::vector<QRect> rects = randomRects(count * 8, side, kScreen);
    size_t batch = 0;
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            const QRect changed = rects[batch * count + i];
            scaleRegion(source, target, affectedTargetRect(changed, kScreen, kWindow));
        }
        batch = (batch + 1) % 8;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_Update64x64(benchmark::State& state)
{
    updateRects(state, 1, 64);
}
BENCHMARK(BM_Update64x64)->Unit(benchmark::kMicrosecond);

void BM_Update100Rects16x16(benchmark::State& state)
{
    updateRects(state, 100, 16);
}
BENCHMARK(BM_Update100Rects16x16)->Unit(benchmark::kMicrosecond);

// Reference: the least any whole-screen pass can cost.
void BM_MemcpyScreen(benchmark::State& state)
{
    const size_t bytes = size_t(kScreen.width()) * kScreen.height() * 4;
    std::vector<char> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(bytes));
}
BENCHMARK(BM_MemcpyScreen)->Unit(benchmark::kMicrosecond);

} // namespace
