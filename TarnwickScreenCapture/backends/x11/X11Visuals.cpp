#include "TarnwickScreenCapture/backends/x11/X11Visuals.hpp"

#include <algorithm>
#include <bit>
#include <vector>

namespace tarnwick {
namespace {

std::optional<PixelColours> coloursOf(const xcb_visualtype_t& visual) {
    switch (visual._class) {
        case XCB_VISUAL_CLASS_TRUE_COLOR:
            return PixelColours::kMasks;
        case XCB_VISUAL_CLASS_DIRECT_COLOR:
            return PixelColours::kRamps;
        case XCB_VISUAL_CLASS_STATIC_GRAY:
        case XCB_VISUAL_CLASS_GRAY_SCALE:
        case XCB_VISUAL_CLASS_STATIC_COLOR:
        case XCB_VISUAL_CLASS_PSEUDO_COLOR:
            return PixelColours::kIndexed;
        default:
            return std::nullopt;
    }
}

std::uint8_t eightBits(std::uint16_t value) {
    return static_cast<std::uint8_t>((std::uint32_t{value} * 255 + 32767) / 65535);
}

}  // namespace

std::optional<PixelLayout> layoutOf(const xcb_setup_t* setup, const PixelSource& source) {
    const xcb_format_t* format = findPixmapFormat(setup, source.depth);
    const xcb_visualtype_t* visual = findVisual(setup, source.visual);
    if (format == nullptr || visual == nullptr) {
        return std::nullopt;
    }
    const auto colours = coloursOf(*visual);
    const auto rowBytes =
        paddedRowBytes(source.area.width, format->bits_per_pixel, format->scanline_pad);
    if (!colours || !rowBytes) {
        return std::nullopt;
    }
    const bool masks = *colours != PixelColours::kIndexed;
    return PixelLayout{
        .bitsPerPixel = format->bits_per_pixel,
        .byteOrder = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST
                         ? PixelByteOrder::kMostSignificantFirst
                         : PixelByteOrder::kLeastSignificantFirst,
        .bytesPerRow = *rowBytes,
        .redMask = masks ? visual->red_mask : 0,
        .greenMask = masks ? visual->green_mask : 0,
        .blueMask = masks ? visual->blue_mask : 0,
        .alphaMask = masks ? alphaMaskForDepth(source.depth, visual->red_mask, visual->green_mask,
                                               visual->blue_mask)
                           : 0,
        .colours = *colours,
    };
}

bool loadColormap(const X11Display& display, const PixelSource& source, PixelLayout& layout) {
    if (layout.colours == PixelColours::kMasks) {
        return true;
    }
    const xcb_visualtype_t* visual = findVisual(display.setup, source.visual);
    if (visual == nullptr || visual->colormap_entries == 0) {
        return false;
    }
    std::size_t entries = visual->colormap_entries;
    if (layout.colours == PixelColours::kIndexed && source.depth < 16) {
        entries = std::min(entries, std::size_t{1} << source.depth);
    }
    std::vector<std::uint32_t> pixels(entries);
    for (std::uint32_t i = 0; i < entries; ++i) {
        if (layout.colours == PixelColours::kIndexed) {
            pixels[i] = i;
        } else {
            const auto spread = [i](std::uint32_t mask) {
                return (i << std::countr_zero(mask)) & mask;
            };
            pixels[i] =
                spread(visual->red_mask) | spread(visual->green_mask) | spread(visual->blue_mask);
        }
    }
    const xcb_colormap_t colormap =
        source.colormap != XCB_NONE ? source.colormap : display.screen->default_colormap;
    const auto reply =
        takeReply(xcb_query_colors_reply, display,
                  xcb_query_colors(display.get(), colormap, static_cast<std::uint32_t>(entries),
                                   pixels.data()));
    if (!reply || xcb_query_colors_colors_length(reply.get()) < 0 ||
        static_cast<std::size_t>(xcb_query_colors_colors_length(reply.get())) < entries ||
        std::size_t{reply->length} < entries * 2) {
        return false;
    }
    const xcb_rgb_t* colours = xcb_query_colors_colors(reply.get());
    layout.colormap.resize(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        layout.colormap[i] = {eightBits(colours[i].red), eightBits(colours[i].green),
                              eightBits(colours[i].blue)};
    }
    return true;
}

bool isOpaqueBgrx(const PixelLayout& layout) {
    return layout.colours == PixelColours::kMasks && layout.bitsPerPixel == 32 &&
           layout.byteOrder == PixelByteOrder::kLeastSignificantFirst &&
           layout.redMask == 0xff0000u && layout.greenMask == 0xff00u && layout.blueMask == 0xffu &&
           layout.alphaMask == 0;
}

}  // namespace tarnwick
