#pragma once

// The scaler's reference, shared by its unit tests and its fuzz target: the area average of a
// source, pixel by pixel, straight from the definition in double precision, with no integer
// weights, no separable passes and no common divisors.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick::testing {

// The average over the source area that destination pixel (x, y) of a width x height image
// covers, weighting each source pixel by the share of it inside that area.
// `source` holds its pixels in memory.
inline std::array<double, 4> areaAverage(const Image& source, std::int64_t width,
                                         std::int64_t height, std::int64_t x, std::int64_t y) {
    const std::int64_t sourceWidth = source.width;
    const std::int64_t sourceHeight = source.height;
    const double left =
        static_cast<double>(x) * static_cast<double>(sourceWidth) / static_cast<double>(width);
    const double right =
        static_cast<double>(x + 1) * static_cast<double>(sourceWidth) / static_cast<double>(width);
    const double top =
        static_cast<double>(y) * static_cast<double>(sourceHeight) / static_cast<double>(height);
    const double bottom = static_cast<double>(y + 1) * static_cast<double>(sourceHeight) /
                          static_cast<double>(height);
    std::array<double, 4> total{};
    for (auto sy = static_cast<std::int64_t>(top); sy < sourceHeight; ++sy) {
        const auto rowTop = static_cast<double>(sy);
        if (rowTop >= bottom) {
            break;
        }
        const double rowShare = std::min(bottom, rowTop + 1) - std::max(top, rowTop);
        for (auto sx = static_cast<std::int64_t>(left); sx < sourceWidth; ++sx) {
            const auto columnLeft = static_cast<double>(sx);
            if (columnLeft >= right) {
                break;
            }
            const double share =
                rowShare * (std::min(right, columnLeft + 1) - std::max(left, columnLeft));
            const std::uint8_t* pixel = source.pixels.data() +
                                        static_cast<std::size_t>(sy) * source.bytesPerRow +
                                        static_cast<std::size_t>(sx) * kBytesPerPixel;
            for (std::size_t c = 0; c < 4; ++c) {
                total[c] += share * pixel[c];
            }
        }
    }
    for (double& channel : total) {
        channel /= (right - left) * (bottom - top);
    }
    return total;
}

// An 8-bit result is right when it is the average rounded: within half a step of it. The
// allowance beyond one half is the reference's own floating-point error.
inline constexpr double kRoundingAllowance = 0.5 + 1e-6;

// Reads the scaled image and compares every channel of every pixel with the reference; the
// first mismatch, described, or none.
inline std::optional<std::string> firstDifferenceFromAreaAverage(const Image& source,
                                                                 const Image& scaled) {
    const std::size_t rowBytes = static_cast<std::size_t>(scaled.width) * kBytesPerPixel;
    std::vector<std::uint8_t> row(rowBytes);
    for (std::int64_t y = 0; y < scaled.height; ++y) {
        if (!readImageRows(scaled, y, 1, row.data(), rowBytes)) {
            return "row " + std::to_string(y) + " unreadable";
        }
        for (std::int64_t x = 0; x < scaled.width; ++x) {
            const auto expected = areaAverage(source, scaled.width, scaled.height, x, y);
            for (int c = 0; c < 4; ++c) {
                const int got = row[static_cast<std::size_t>(x) * kBytesPerPixel + c];
                if (std::abs(got - expected[c]) > kRoundingAllowance) {
                    return std::to_string(source.width) + "x" + std::to_string(source.height) +
                           " -> " + std::to_string(scaled.width) + "x" +
                           std::to_string(scaled.height) + ": pixel " + std::to_string(x) + "," +
                           std::to_string(y) + " channel " + std::to_string(c) + " is " +
                           std::to_string(got) + ", the area average " +
                           std::to_string(expected[c]);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace tarnwick::testing
