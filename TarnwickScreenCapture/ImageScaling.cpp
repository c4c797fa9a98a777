#include "TarnwickScreenCapture/ImageScaling.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace tarnwick {
namespace {

// Weights are 8.8 fixed point summing to exactly 256, so a solid colour stays exact and the
// vertical sum of 8-bit samples fits 16 bits (which lets the compiler use 16-bit vector lanes).
constexpr std::uint32_t kWeightOne = 256;

// For each destination sample along one axis, the source samples it covers and the share of its
// area each one contributes: an exact box filter, fractional at both ends.
struct AreaTaps {
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> count;
    std::vector<std::size_t> offset;
    std::vector<std::uint16_t> weight;
};

AreaTaps areaTaps(std::int64_t sourceSize, std::int64_t destinationSize) {
    AreaTaps taps;
    taps.first.resize(destinationSize);
    taps.count.resize(destinationSize);
    taps.offset.resize(destinationSize);
    const double scale = static_cast<double>(sourceSize) / static_cast<double>(destinationSize);
    for (std::int64_t i = 0; i < destinationSize; ++i) {
        const double begin = static_cast<double>(i) * scale;
        const double end = std::min(static_cast<double>(i + 1) * scale, double(sourceSize));
        const auto firstSample =
            std::min(sourceSize - 1, static_cast<std::int64_t>(std::floor(begin)));
        const auto endSample =
            std::clamp(static_cast<std::int64_t>(std::ceil(end)), firstSample + 1, sourceSize);
        taps.first[i] = firstSample;
        taps.count[i] = endSample - firstSample;
        taps.offset[i] = taps.weight.size();
        std::uint32_t total = 0;
        for (std::int64_t s = firstSample; s < endSample; ++s) {
            const double covered = std::min(end, double(s + 1)) - std::max(begin, double(s));
            const auto weight = static_cast<std::uint16_t>(
                std::lround(std::max(0.0, covered) / (end - begin) * kWeightOne));
            taps.weight.push_back(weight);
            total += weight;
        }
        // Rounding leaves the sum a little off 256: the largest share absorbs the difference.
        const auto largest = std::max_element(
            taps.weight.begin() + static_cast<std::ptrdiff_t>(taps.offset[i]), taps.weight.end());
        *largest = static_cast<std::uint16_t>(*largest + kWeightOne - total);
    }
    return taps;
}

void accumulateRow(std::uint16_t* __restrict sum, const std::uint8_t* __restrict row,
                   std::uint16_t weight, std::size_t samples, bool first) {
    if (first) {
        for (std::size_t i = 0; i < samples; ++i) {
            sum[i] = static_cast<std::uint16_t>(row[i] * weight);
        }
    } else {
        for (std::size_t i = 0; i < samples; ++i) {
            sum[i] = static_cast<std::uint16_t>(sum[i] + row[i] * weight);
        }
    }
}

void reduceColumns(const std::uint16_t* __restrict sum, const AreaTaps& columns,
                   std::uint8_t* __restrict out) {
    const auto width = static_cast<std::int64_t>(columns.first.size());
    for (std::int64_t x = 0; x < width; ++x) {
        const std::uint16_t* sample = sum + columns.first[x] * kBytesPerPixel;
        const std::uint16_t* weight = columns.weight.data() + columns.offset[x];
        std::uint32_t r = 0, g = 0, b = 0, a = 0;
        for (std::int64_t k = 0; k < columns.count[x]; ++k, sample += kBytesPerPixel) {
            r += std::uint32_t{sample[0]} * weight[k];
            g += std::uint32_t{sample[1]} * weight[k];
            b += std::uint32_t{sample[2]} * weight[k];
            a += std::uint32_t{sample[3]} * weight[k];
        }
        constexpr std::uint32_t kHalf = 1u << 15;
        out[0] = static_cast<std::uint8_t>((r + kHalf) >> 16);
        out[1] = static_cast<std::uint8_t>((g + kHalf) >> 16);
        out[2] = static_cast<std::uint8_t>((b + kHalf) >> 16);
        out[3] = static_cast<std::uint8_t>((a + kHalf) >> 16);
        out += kBytesPerPixel;
    }
}

// Area-resamples premultiplied RGBA (so partly transparent pixels weigh by their coverage), one
// destination row at a time from just the source rows it covers: memory stays a few source rows
// deep, and a lazily read source is read top to bottom.
struct AreaScaler {
    ImageRef source;
    AreaTaps columns;
    AreaTaps rows;
    std::size_t sourceRowBytes;
    std::vector<std::uint8_t> sourceRows;
    std::vector<std::uint16_t> sum;

    AreaScaler(ImageRef image, std::int64_t width, std::int64_t height)
        : source(std::move(image)),
          columns(areaTaps(source->width, width)),
          rows(areaTaps(source->height, height)),
          sourceRowBytes(static_cast<std::size_t>(source->width) * kBytesPerPixel),
          sum(sourceRowBytes) {
        const auto mostRows = *std::max_element(rows.count.begin(), rows.count.end());
        sourceRows.resize(sourceRowBytes * static_cast<std::size_t>(mostRows));
    }

    bool scaleRow(std::int64_t y, std::uint8_t* out) {
        const std::int64_t count = rows.count[y];
        if (!readImageRows(*source, rows.first[y], count, sourceRows.data(), sourceRowBytes)) {
            return false;
        }
        const std::uint16_t* weight = rows.weight.data() + rows.offset[y];
        for (std::int64_t k = 0; k < count; ++k) {
            accumulateRow(sum.data(),
                          sourceRows.data() + static_cast<std::size_t>(k) * sourceRowBytes,
                          weight[k], sourceRowBytes, k == 0);
        }
        reduceColumns(sum.data(), columns, out);
        return true;
    }
};

}  // namespace

std::int64_t scaledHeight(std::int64_t width, std::int64_t height, std::int64_t maxWidth) {
    const double scale = static_cast<double>(maxWidth) / static_cast<double>(width);
    const double product = static_cast<double>(height) * scale;
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(product));
}

ImageRef imageScaledToMaxWidth(const ImageRef& image, std::int64_t maxWidth) {
    if (maxWidth <= 0 || !image || image->width <= maxWidth) {
        return image;
    }
    const std::int64_t height = scaledHeight(image->width, image->height, maxWidth);
    try {
        auto scaler = std::make_shared<AreaScaler>(image, maxWidth, height);
        auto scaled = std::make_shared<Image>();
        scaled->width = maxWidth;
        scaled->height = height;
        scaled->bytesPerRow = static_cast<std::size_t>(maxWidth) * kBytesPerPixel;
        scaled->readRows = [scaler](std::int64_t firstRow, std::int64_t rowCount, std::uint8_t* out,
                                    std::size_t stride) {
            for (std::int64_t row = 0; row < rowCount; ++row) {
                if (!scaler->scaleRow(firstRow + row,
                                      out + static_cast<std::size_t>(row) * stride)) {
                    return false;
                }
            }
            return true;
        };
        return scaled;
    } catch (const std::bad_alloc&) {
        return image;  // no bitmap to draw into: write the image at its captured size
    }
}

}  // namespace tarnwick
