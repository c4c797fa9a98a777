#include "TarnwickScreenCapture/ImageScaling.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace tarnwick {
namespace {

// For each destination sample along one axis, the source samples it covers and the share of
// its area each one contributes (an exact box filter, fractional at both ends).
struct AreaWeights {
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> count;
    std::vector<std::size_t> offset;
    std::vector<float> weight;
};

AreaWeights areaWeights(std::int64_t sourceSize, std::int64_t destinationSize) {
    AreaWeights weights;
    weights.first.resize(destinationSize);
    weights.count.resize(destinationSize);
    weights.offset.resize(destinationSize);
    const double scale = static_cast<double>(sourceSize) / static_cast<double>(destinationSize);
    for (std::int64_t i = 0; i < destinationSize; ++i) {
        const double begin = static_cast<double>(i) * scale;
        const double end = std::min(static_cast<double>(i + 1) * scale, double(sourceSize));
        const auto firstSample = static_cast<std::int64_t>(std::floor(begin));
        const auto lastSample = std::min(sourceSize, static_cast<std::int64_t>(std::ceil(end)));
        weights.first[i] = firstSample;
        weights.offset[i] = weights.weight.size();
        double total = 0;
        for (std::int64_t s = firstSample; s < lastSample; ++s) {
            total += std::min(end, double(s + 1)) - std::max(begin, double(s));
        }
        for (std::int64_t s = firstSample; s < lastSample; ++s) {
            const double covered = std::min(end, double(s + 1)) - std::max(begin, double(s));
            weights.weight.push_back(static_cast<float>(covered / total));
        }
        weights.count[i] = lastSample - firstSample;
    }
    return weights;
}

void reduceRow(const std::uint8_t* source, const AreaWeights& columns, float* reduced) {
    const auto width = static_cast<std::int64_t>(columns.first.size());
    for (std::int64_t x = 0; x < width; ++x) {
        const std::uint8_t* pixel = source + columns.first[x] * kBytesPerPixel;
        const float* weight = columns.weight.data() + columns.offset[x];
        float r = 0, g = 0, b = 0, a = 0;
        for (std::int64_t k = 0; k < columns.count[x]; ++k, pixel += kBytesPerPixel) {
            r += weight[k] * pixel[0];
            g += weight[k] * pixel[1];
            b += weight[k] * pixel[2];
            a += weight[k] * pixel[3];
        }
        float* out = reduced + x * kBytesPerPixel;
        out[0] = r;
        out[1] = g;
        out[2] = b;
        out[3] = a;
    }
}

std::uint8_t toByte(float value) {
    return static_cast<std::uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

// Area-resamples premultiplied RGBA, so partly transparent pixels weigh by their coverage.
ImageRef areaResampled(const Image& source, std::int64_t width, std::int64_t height) {
    const AreaWeights columns = areaWeights(source.width, width);
    const AreaWeights rows = areaWeights(source.height, height);
    const auto rowFloats = static_cast<std::size_t>(width) * kBytesPerPixel;

    auto result = std::make_shared<Image>();
    result->width = width;
    result->height = height;
    result->bytesPerRow = rowFloats;
    result->pixels.resize(rowFloats * static_cast<std::size_t>(height));

    std::vector<float> reduced(rowFloats);
    std::vector<float> accumulated(rowFloats);
    std::int64_t reducedRow = -1;
    for (std::int64_t y = 0; y < height; ++y) {
        std::fill(accumulated.begin(), accumulated.end(), 0.0f);
        const float* weight = rows.weight.data() + rows.offset[y];
        for (std::int64_t k = 0; k < rows.count[y]; ++k) {
            const std::int64_t sourceRow = rows.first[y] + k;
            if (sourceRow != reducedRow) {
                reduceRow(source.pixels.data() + sourceRow * source.bytesPerRow, columns,
                          reduced.data());
                reducedRow = sourceRow;
            }
            for (std::size_t i = 0; i < rowFloats; ++i) {
                accumulated[i] += weight[k] * reduced[i];
            }
        }
        std::uint8_t* out = result->pixels.data() + static_cast<std::size_t>(y) * rowFloats;
        for (std::size_t i = 0; i < rowFloats; ++i) {
            out[i] = toByte(accumulated[i]);
        }
    }
    return result;
}

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
        return areaResampled(*image, maxWidth, height);
    } catch (const std::bad_alloc&) {
        return image;  // no bitmap to draw into: write the image at its captured size
    }
}

}  // namespace tarnwick
