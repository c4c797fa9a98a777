// Microbenchmarks of the capture's phases. The grab needs an X display (DISPLAY), the Wayland
// desktop routes a compositor (WAYLAND_DISPLAY); the other phases run on synthetic pixels of the
// same sizes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"
#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"
#include "TarnwickScreenCapture/image/ImageScaling.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"
#include "TarnwickScreenCapture/posix/Signals.hpp"

namespace tarnwick {
namespace {

constexpr std::int64_t kBandRows = 64;

// Text-like content: sharp dark strokes on a light ground, which is what scaling must keep legible.
SharedImage syntheticScreen(std::int64_t width, std::int64_t height) {
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<std::size_t>(width) * kBytesPerPixel;
    image->pixels.resize(image->bytesPerRow * static_cast<std::size_t>(height));
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            std::uint8_t* p = image->pixels.data() + y * image->bytesPerRow + x * 4;
            const bool stroke = (x * 7 + y * 3) % 11 < 2 && y % 16 < 12;
            p[0] = static_cast<std::uint8_t>(stroke ? 20 : 200 + x % 50);
            p[1] = static_cast<std::uint8_t>(stroke ? 20 : 210 + y % 40);
            p[2] = stroke ? 30 : 230;
            p[3] = 255;
        }
    }
    return image;
}

void readAllRows(const Image& image, std::vector<std::uint8_t>& band) {
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * kBytesPerPixel;
    band.resize(rowBytes * kBandRows);
    for (std::int64_t y = 0; y < image.height; y += kBandRows) {
        const std::int64_t rows = std::min(kBandRows, image.height - y);
        if (!readImageRows(image, y, rows, band.data(), rowBytes)) {
            std::abort();
        }
    }
}

void BM_Grab(benchmark::State& state) {
    ignoreWriteFailureSignals();  // as the program does: a server gone is a failed read
    if (std::getenv("DISPLAY") == nullptr) {
        state.SkipWithError("needs an X display (DISPLAY)");
        return;
    }
    std::vector<std::uint8_t> band;
    for (auto _ : state) {
        const auto taken = x11DesktopImage();
        const auto* image = std::get_if<SharedImage>(&taken);
        if (image == nullptr) {
            state.SkipWithError(std::get<Unavailable>(taken).reason.c_str());
            return;
        }
        readAllRows(**image, band);
        state.counters["pixels"] = static_cast<double>((*image)->width * (*image)->height);
    }
}
BENCHMARK(BM_Grab)->Unit(benchmark::kMillisecond);

// The desktop of a wlroots compositor by the wlroots screen copy (0) or by ext-image-copy-capture's
// output source (1), each pixel read once: the two routes a compositor may offer side by side.
void BM_WaylandDesktop(benchmark::State& state) {
    ignoreWriteFailureSignals();
    if (std::getenv("WAYLAND_DISPLAY") == nullptr) {
        state.SkipWithError("needs a Wayland compositor (WAYLAND_DISPLAY)");
        return;
    }
    std::vector<std::uint8_t> band;
    for (auto _ : state) {
        const auto taken =
            state.range(0) == 0 ? waylandDesktopImage() : waylandSourceDesktopImage();
        const auto* image = std::get_if<SharedImage>(&taken);
        if (image == nullptr) {
            state.SkipWithError(std::get<Unavailable>(taken).reason.c_str());
            return;
        }
        readAllRows(**image, band);
    }
}
BENCHMARK(BM_WaylandDesktop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Convert(benchmark::State& state) {
    const std::int64_t width = state.range(0);
    const std::int64_t height = state.range(1);
    const PixelLayout layout{.bitsPerPixel = 32,
                             .bytesPerRow = static_cast<std::size_t>(width) * 4,
                             .redMask = 0xff0000,
                             .greenMask = 0xff00,
                             .blueMask = 0xff};
    const std::vector<std::uint8_t> server(layout.bytesPerRow * kBandRows, 0x5a);
    std::vector<std::uint8_t> out(layout.bytesPerRow * kBandRows);
    for (auto _ : state) {
        for (std::int64_t y = 0; y < height; y += kBandRows) {
            convertPixelRows(server, width, std::min(kBandRows, height - y), layout, out.data(),
                             layout.bytesPerRow);
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Convert)->Args({3840, 2160})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

// Source width, height and target width: whole-number ratios (16-bit row sums) and others
// (32-bit row sums).
void BM_Scale(benchmark::State& state) {
    const auto screen = syntheticScreen(state.range(0), state.range(1));
    const std::int64_t maxWidth = state.range(2);
    std::vector<std::uint8_t> band;
    for (auto _ : state) {
        readAllRows(*imageScaledToMaxWidth(screen, maxWidth), band);
        benchmark::DoNotOptimize(band.data());
    }
}
BENCHMARK(BM_Scale)
    ->Args({3840, 2160, 1280})
    ->Args({1920, 1080, 1280})
    ->Args({3840, 2160, 1000})
    ->Args({3840, 2160, 40})
    ->Unit(benchmark::kMillisecond);

void BM_Encode(benchmark::State& state) {
    const auto image = syntheticScreen(state.range(0), state.range(1));
    for (auto _ : state) {
        if (writeJpegFile("/dev/null", image, 0.55, ExistingOutput::kReplaceAnything).result !=
            JpegWriteResult::kWritten) {
            state.SkipWithError("encoding failed");
            return;
        }
    }
}
BENCHMARK(BM_Encode)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
