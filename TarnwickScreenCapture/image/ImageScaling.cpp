#include "TarnwickScreenCapture/image/ImageScaling.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {
namespace {

// X11 screens and decoded JPEGs stay below this; it keeps every weight within 16 bits.
constexpr std::int64_t kMaximumSourceSide = 65535;

// Along one axis, destination sample i covers the source interval [i * S / d, (i + 1) * S / d).
// Measured in units of 1/d' of a source sample (S' and d' being S and d divided by their greatest
// common divisor) every boundary is an integer, so each covered share is an exact integer weight
// and the weights of one destination sample sum to S'. No rounding happens before the final
// division.
struct AxisRatio {
    std::int64_t source = 1;       // S'
    std::int64_t destination = 1;  // d'
};

AxisRatio reducedRatio(std::int64_t sourceSize, std::int64_t destinationSize) {
    const std::int64_t divisor = std::gcd(sourceSize, destinationSize);
    return {sourceSize / divisor, destinationSize / divisor};
}

// Calls visit(sourceIndex, weight) for each source sample that destination sample i covers,
// in order.
template <class Visit>
void forEachTap(const AxisRatio& ratio, std::int64_t i, Visit visit) {
    const std::int64_t begin = i * ratio.source;
    const std::int64_t end = begin + ratio.source;
    for (std::int64_t s = begin / ratio.destination; s * ratio.destination < end; ++s) {
        const std::int64_t covered =
            std::min(end, (s + 1) * ratio.destination) - std::max(begin, s * ratio.destination);
        visit(s, covered);
    }
}

// Every destination column gets the same number of taps, the last ones of shorter columns with
// weight 0, so the inner loop's trip count never changes (an irregular one costs a mispredicted
// branch per pixel). The accumulator row carries that many zero samples past its end.
struct ColumnTaps {
    std::size_t taps = 0;
    std::vector<std::uint32_t> first;   // first source column of each, in samples (column * 4)
    std::vector<std::uint16_t> weight;  // taps weights per destination column
};

ColumnTaps columnTaps(std::int64_t sourceWidth, std::int64_t width) {
    const AxisRatio ratio = reducedRatio(sourceWidth, width);
    ColumnTaps columns;
    for (std::int64_t x = 0; x < width; ++x) {
        std::size_t taps = 0;
        forEachTap(ratio, x, [&](std::int64_t, std::int64_t) { ++taps; });
        columns.taps = std::max(columns.taps, taps);
    }
    columns.first.resize(static_cast<std::size_t>(width));
    columns.weight.resize(static_cast<std::size_t>(width) * columns.taps);
    for (std::int64_t x = 0; x < width; ++x) {
        std::size_t k = 0;
        forEachTap(ratio, x, [&](std::int64_t s, std::int64_t weight) {
            if (k == 0) {
                columns.first[x] = static_cast<std::uint32_t>(s * kBytesPerPixel);
            }
            columns.weight[static_cast<std::size_t>(x) * columns.taps + k++] =
                static_cast<std::uint16_t>(weight);
        });
    }
    return columns;
}

// Exact rounded division by a fixed divisor 2 <= D <= 2^24 of sums up to 255 * D, without a
// division instruction: floor(n / D) == (n * ceil(2^64 / D)) >> 64 for every 32-bit n (Lemire,
// Kaser and Kurz, "Faster remainder by direct computation", 2019).
struct RoundedDivision32 {
    __extension__ using Wide = unsigned __int128;
    std::uint64_t multiplier;
    std::uint32_t half;

    explicit RoundedDivision32(std::uint64_t divisor)
        : multiplier(std::numeric_limits<std::uint64_t>::max() / divisor + 1),
          half(static_cast<std::uint32_t>(divisor / 2)) {}

    std::uint8_t operator()(std::uint32_t sum) const {
        return static_cast<std::uint8_t>((Wide{multiplier} * (sum + half)) >> 64);
    }
};

// The usual ratios (3:1, 3:2, 2:1 on both axes) have small divisors, whose sums n <= 255 * D
// fit in 16 bits, and so does the division: floor(n / D) == (n * M) >> (16 + shift) with
// M = ceil(2^(16 + shift) / D) whenever 256 * D^2 <= 2^(16 + shift), since the excess
// n * e / (D * 2^(16 + shift)), e < D, stays below 1 / D. Eight 16-bit lanes then hold two
// pixels, which SSE2, on every x86-64, multiplies at once.
struct ShortRoundedDivision {
    std::uint16_t multiplier = 0;
    int shift = 0;
    std::uint16_t half = 0;

    static std::optional<ShortRoundedDivision> of(std::uint64_t divisor) {
        for (int shift = 0; shift <= 8; ++shift) {
            const std::uint64_t power = std::uint64_t{1} << (16 + shift);
            const std::uint64_t multiplier = (power + divisor - 1) / divisor;
            if (256 * divisor * divisor <= power && multiplier <= 0xffff) {
                return ShortRoundedDivision{static_cast<std::uint16_t>(multiplier), shift,
                                            static_cast<std::uint16_t>(divisor / 2)};
            }
        }
        return std::nullopt;
    }

    std::uint8_t operator()(std::uint32_t sum) const {
        return static_cast<std::uint8_t>(((sum + half) * multiplier) >> (16 + shift));
    }
};

// Larger divisors come only with unusual ratios of large images: a plain division is fine there.
struct RoundedDivision64 {
    std::uint64_t divisor;

    std::uint8_t operator()(std::uint64_t sum) const {
        return static_cast<std::uint8_t>((sum + divisor / 2) / divisor);
    }
};

// Weighted source rows are summed into one accumulator row as wide as the source. Sixteen bits
// suffice when a destination row's weights sum to at most 257 (255 * 257 = 65535), which covers
// the whole-number ratios a screen is usually scaled by; otherwise 32 bits. Up to kRowsPerPass
// rows are added in one pass, so the accumulator is loaded and stored once for all of them.
constexpr std::int64_t kRowsPerPass = 4;

template <class Accumulator, int kRows, bool kFirst>
void accumulateRows(Accumulator* __restrict sum, const std::uint8_t* const* rowsOfPass,
                    const std::uint16_t* weights, std::size_t samples) {
    std::uint16_t weight[kRows];
    std::copy_n(weights, kRows, weight);
    const std::uint8_t* __restrict rows[kRows];
    std::copy_n(rowsOfPass, kRows, rows);
    for (std::size_t i = 0; i < samples; ++i) {
        Accumulator total = kFirst ? 0 : sum[i];
        for (int k = 0; k < kRows; ++k) {
            // 16 x 16 -> 32 bits: a widening multiply the compiler vectorises with baseline SIMD.
            const std::uint16_t sample = rows[k][i];
            total = static_cast<Accumulator>(total + Accumulator{sample} * Accumulator{weight[k]});
        }
        sum[i] = total;
    }
}

template <class Accumulator, bool kFirst>
void accumulateRows(Accumulator* sum, const std::uint8_t* const* rows, const std::uint16_t* weights,
                    std::int64_t count, std::size_t samples) {
    switch (count) {
        case 1:
            return accumulateRows<Accumulator, 1, kFirst>(sum, rows, weights, samples);
        case 2:
            return accumulateRows<Accumulator, 2, kFirst>(sum, rows, weights, samples);
        case 3:
            return accumulateRows<Accumulator, 3, kFirst>(sum, rows, weights, samples);
        default:
            return accumulateRows<Accumulator, 4, kFirst>(sum, rows, weights, samples);
    }
}

// With 32-bit sums, the rows that a destination row covers whole (weight d', most of them at
// large ratios) are first added unweighted in 16 bits, at most kMostWholeRows of them, and that
// sum is weighed once: the cheap 16-bit additions replace most 32-bit multiplications.
constexpr std::int64_t kMostWholeRows = 257;
constexpr std::uint16_t kUnitWeights[kRowsPerPass] = {1, 1, 1, 1};

template <bool kFirst>
void addWeighedWholeRows(std::uint32_t* __restrict sum, const std::uint16_t* __restrict whole,
                         std::uint16_t weight, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) {
        sum[i] = (kFirst ? 0 : sum[i]) + std::uint32_t{whole[i]} * std::uint32_t{weight};
    }
}

// kTaps is the number of taps when known at compile time (the common small ratios), else 0.
template <std::size_t kTaps, class Accumulator, class Sum, class Division>
void reduceColumns(const Accumulator* __restrict sum, const ColumnTaps& columns,
                   const Division& divide, std::uint8_t* __restrict out) {
    const std::size_t taps = kTaps != 0 ? kTaps : columns.taps;
    const std::uint16_t* weight = columns.weight.data();
    std::size_t x = 0;
#if defined(__SSE2__)
    if constexpr (std::is_same_v<Division, ShortRoundedDivision>) {
        static_assert(std::is_same_v<Accumulator, std::uint16_t>);
        const __m128i half = _mm_set1_epi16(static_cast<short>(divide.half));
        const __m128i multiplier = _mm_set1_epi16(static_cast<short>(divide.multiplier));
        const __m128i shift = _mm_cvtsi32_si128(divide.shift);
        for (; x + 1 < columns.first.size(); x += 2, weight += 2 * taps) {
            const Accumulator* left = sum + columns.first[x];
            const Accumulator* right = sum + columns.first[x + 1];
            __m128i total = half;
            for (std::size_t k = 0; k < taps; ++k) {
                const __m128i samples = _mm_unpacklo_epi64(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(left + k * kBytesPerPixel)),
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(right + k * kBytesPerPixel)));
                const __m128i weights =
                    _mm_unpacklo_epi64(_mm_set1_epi16(static_cast<short>(weight[k])),
                                       _mm_set1_epi16(static_cast<short>(weight[taps + k])));
                total = _mm_add_epi16(total, _mm_mullo_epi16(samples, weights));
            }
            const __m128i quotient = _mm_srl_epi16(_mm_mulhi_epu16(total, multiplier), shift);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(quotient, quotient));
            out += 2 * kBytesPerPixel;
        }
    }
#endif
    for (; x < columns.first.size(); ++x, weight += taps) {
        const Accumulator* sample = sum + columns.first[x];
        Sum r = 0, g = 0, b = 0, a = 0;
        for (std::size_t k = 0; k < taps; ++k, sample += kBytesPerPixel) {
            const Sum w = weight[k];
            r += sample[0] * w;
            g += sample[1] * w;
            b += sample[2] * w;
            a += sample[3] * w;
        }
        out[0] = divide(r);
        out[1] = divide(g);
        out[2] = divide(b);
        out[3] = divide(a);
        out += kBytesPerPixel;
    }
}

template <class Accumulator, class Sum, class Division>
void reduceColumns(const Accumulator* sum, const ColumnTaps& columns, const Division& divide,
                   std::uint8_t* out) {
    switch (columns.taps) {
        case 2:
            return reduceColumns<2, Accumulator, Sum>(sum, columns, divide, out);
        case 3:
            return reduceColumns<3, Accumulator, Sum>(sum, columns, divide, out);
        case 4:
            return reduceColumns<4, Accumulator, Sum>(sum, columns, divide, out);
        default:
            return reduceColumns<0, Accumulator, Sum>(sum, columns, divide, out);
    }
}

// Area-resamples four channels alike: premultiplied RGBA (so partly transparent pixels weigh by
// their coverage) or opaque BGRX, whose fourth byte it averages as well and nobody reads. One
// destination row at a time, reading the source rows it covers a few at a time: memory depends on
// the widths alone, whatever the ratio, and a lazily read source is read top to bottom.
template <class Accumulator, class Sum, class Division>
struct AreaScaler {
    SharedImage source;
    ColumnTaps columns;
    AxisRatio rows;
    Division divide;
    std::size_t sourceRowBytes;
    std::vector<std::uint8_t> sourceRows;
    std::vector<Accumulator> sum;

    AreaScaler(SharedImage image, std::int64_t width, std::int64_t height, Division division)
        : source(std::move(image)),
          columns(columnTaps(source->width, width)),
          rows(reducedRatio(source->height, height)),
          divide(division),
          sourceRowBytes(static_cast<std::size_t>(source->width) * kBytesPerPixel),
          sourceRows(sourceRowBytes * kRowsPerPass),
          sum(sourceRowBytes + columns.taps * kBytesPerPixel),
          wholeRows(sumWholeRows ? sourceRowBytes : 0) {}

    bool scaleRow(std::int64_t y, std::uint8_t* out) {
        std::int64_t first = -1;
        std::int64_t count = 0;
        std::uint16_t weights[kRowsPerPass];
        bool readable = true;
        started = false;
        wholeRowCount = 0;
        const auto addPending = [&] {
            const std::uint8_t* lent[kRowsPerPass];
            readable = readable && lendImageRows(*source, first, count, lent, sourceRows);
            if (readable) {
                addRows(lent, weights, count);
            }
            count = 0;
        };
        forEachTap(rows, y, [&](std::int64_t s, std::int64_t weight) {
            if (count == kRowsPerPass) {
                addPending();
            }
            if (count == 0) {
                first = s;
            }
            weights[count++] = static_cast<std::uint16_t>(weight);
        });
        addPending();
        if (readable) {
            addWholeRows();
            reduceColumns<Accumulator, Sum>(sum.data(), columns, divide, out);
        }
        return readable;
    }

private:
    static constexpr bool kWideRows = sizeof(Accumulator) > sizeof(std::uint16_t);

    bool started = false;  // whether sum holds this destination row's first rows yet
    // Worth it where most rows are whole: from about eight rows per destination row.
    bool sumWholeRows = kWideRows && rows.source >= 8 * rows.destination;
    std::vector<std::uint16_t> wholeRows;
    std::int64_t wholeRowCount = 0;

    void addWeighted(const std::uint8_t* const* pixels, const std::uint16_t* weights,
                     std::int64_t count) {
        (started ? accumulateRows<Accumulator, false>
                 : accumulateRows<Accumulator, true>)(sum.data(), pixels, weights, count,
                                                      sourceRowBytes);
        started = true;
    }

    void addRows(const std::uint8_t* const* pixels, const std::uint16_t* weights,
                 std::int64_t count) {
        if (!sumWholeRows) {
            addWeighted(pixels, weights, count);
        } else {
            const auto wholeWeight = static_cast<std::uint16_t>(rows.destination);
            for (std::int64_t k = 0; k < count;) {
                // A run of rows of one kind: covered whole, or in part (at either end).
                const bool whole = weights[k] == wholeWeight;
                std::int64_t run = 1;
                while (k + run < count && (weights[k + run] == wholeWeight) == whole) {
                    ++run;
                }
                const std::uint8_t* const* row = pixels + k;
                if (!whole) {
                    addWeighted(row, weights + k, run);
                } else {
                    if (wholeRowCount + run > kMostWholeRows) {
                        addWholeRows();
                    }
                    (wholeRowCount == 0
                         ? accumulateRows<std::uint16_t, true>
                         : accumulateRows<std::uint16_t, false>)(wholeRows.data(), row,
                                                                 kUnitWeights, run, sourceRowBytes);
                    wholeRowCount += run;
                }
                k += run;
            }
        }
    }

    void addWholeRows() {
        if (wholeRowCount > 0) {
            if constexpr (kWideRows) {
                const auto weight = static_cast<std::uint16_t>(rows.destination);
                (started ? addWeighedWholeRows<false>
                         : addWeighedWholeRows<true>)(sum.data(), wholeRows.data(), weight,
                                                      sourceRowBytes);
                started = true;
                wholeRowCount = 0;
            }
        }
    }
};

template <class Accumulator, class Sum, class Division>
SharedImage lazilyScaled(const SharedImage& image, std::int64_t width, std::int64_t height,
                         Division division) {
    auto scaler =
        std::make_shared<AreaScaler<Accumulator, Sum, Division>>(image, width, height, division);
    auto scaled = std::make_shared<Image>();
    scaled->width = width;
    scaled->height = height;
    scaled->bytesPerRow = static_cast<std::size_t>(width) * kBytesPerPixel;
    scaled->order = image->order;  // the channels are averaged alike, whatever they are
    scaled->unreadableReason = image->unreadableReason;  // only reading the source can fail
    scaled->readRows = [scaler](std::int64_t firstRow, std::int64_t rowCount, std::uint8_t* out,
                                std::size_t stride) {
        for (std::int64_t row = 0; row < rowCount; ++row) {
            if (!scaler->scaleRow(firstRow + row, out + static_cast<std::size_t>(row) * stride)) {
                return false;
            }
        }
        return true;
    };
    return scaled;
}

}  // namespace

std::int64_t scaledHeight(std::int64_t width, std::int64_t height, std::int64_t maxWidth) {
    const double scale = static_cast<double>(maxWidth) / static_cast<double>(width);
    const double product = static_cast<double>(height) * scale;
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(product));
}

SharedImage imageScaledToMaxWidth(const SharedImage& image, std::int64_t maxWidth) {
    if (maxWidth <= 0 || !image || image->width <= maxWidth) {
        return image;
    }
    if (image->width > kMaximumSourceSide || image->height < 1 ||
        image->height > kMaximumSourceSide) {
        return nullptr;
    }
    const std::int64_t height = scaledHeight(image->width, image->height, maxWidth);
    const auto verticalShare =
        static_cast<std::uint64_t>(reducedRatio(image->height, height).source);
    const auto divisor =
        verticalShare * static_cast<std::uint64_t>(reducedRatio(image->width, maxWidth).source);
    const bool narrowRows = verticalShare <= 257;
    const bool narrowSums = divisor <= (std::uint64_t{1} << 24);
    try {
        if (const auto division = ShortRoundedDivision::of(divisor); narrowRows && division) {
            return lazilyScaled<std::uint16_t, std::uint32_t>(image, maxWidth, height, *division);
        }
        if (narrowSums) {
            const RoundedDivision32 division(divisor);
            return narrowRows ? lazilyScaled<std::uint16_t, std::uint32_t>(image, maxWidth, height,
                                                                           division)
                              : lazilyScaled<std::uint32_t, std::uint32_t>(image, maxWidth, height,
                                                                           division);
        }
        const RoundedDivision64 division{divisor};
        return narrowRows
                   ? lazilyScaled<std::uint16_t, std::uint64_t>(image, maxWidth, height, division)
                   : lazilyScaled<std::uint32_t, std::uint64_t>(image, maxWidth, height, division);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tarnwick
