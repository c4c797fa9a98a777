#include "TarnwickScreenCapture/platform/X11Images.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <xcb/composite.h>
#include <xcb/shm.h>

#include <algorithm>

#include "TarnwickScreenCapture/platform/PixelConversion.hpp"
#include "TarnwickScreenCapture/platform/X11Connection.hpp"

namespace tarnwick {
namespace {

// Deeper window trees than this are not walked.
constexpr int kMaximumTreeDepth = 64;

struct Area {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// The part of `area` inside a drawable of the given size; empty when none.
Area clipped(Area area, std::int64_t width, std::int64_t height) {
    const std::int64_t left = std::max<std::int64_t>(area.x, 0);
    const std::int64_t top = std::max<std::int64_t>(area.y, 0);
    const std::int64_t right = std::min(area.x + area.width, width);
    const std::int64_t bottom = std::min(area.y + area.height, height);
    if (right <= left || bottom <= top) {
        return {};
    }
    return {left, top, right - left, bottom - top};
}

// Pixels of `area` of one drawable, whose depth and visual are known beforehand.
struct PixelSource {
    xcb_drawable_t drawable = XCB_NONE;
    Area area;
    std::uint8_t depth = 0;
    xcb_visualid_t visual = XCB_NONE;
};

std::optional<PixelLayout> layoutOf(const xcb_setup_t* setup, const PixelSource& source) {
    const xcb_format_t* format = findPixmapFormat(setup, source.depth);
    const xcb_visualtype_t* visual = findVisual(setup, source.visual);
    if (format == nullptr || visual == nullptr ||
        (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
         visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR)) {
        return std::nullopt;
    }
    const auto rowBytes =
        paddedRowBytes(source.area.width, format->bits_per_pixel, format->scanline_pad);
    if (!rowBytes) {
        return std::nullopt;
    }
    return PixelLayout{
        .bitsPerPixel = format->bits_per_pixel,
        .byteOrder = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST
                         ? PixelByteOrder::mostSignificantFirst
                         : PixelByteOrder::leastSignificantFirst,
        .bytesPerRow = *rowBytes,
        .redMask = visual->red_mask,
        .greenMask = visual->green_mask,
        .blueMask = visual->blue_mask,
        .alphaMask = alphaMaskForDepth(source.depth, visual->red_mask, visual->green_mask,
                                       visual->blue_mask),
    };
}

bool isLocalConnection(xcb_connection_t* connection) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return ::getsockname(xcb_get_file_descriptor(connection), reinterpret_cast<sockaddr*>(&address),
                         &length) == 0 &&
           address.ss_family == AF_UNIX;
}

// A segment the server can write into only exists on the same machine.
bool offersSharedMemory(xcb_connection_t* connection) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shm_id);
    if (extension == nullptr || extension->present == 0 || !isLocalConnection(connection)) {
        return false;
    }
    return takeReply(xcb_shm_query_version_reply, connection, xcb_shm_query_version(connection)) !=
           nullptr;
}

// A System V segment attached both here and in the server, detached on every path. It is marked
// for removal as soon as the server holds it, so nothing outlives the process.
class SharedSegment {
public:
    SharedSegment(xcb_connection_t* connection, std::size_t size) : connection_(connection) {
        const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id < 0) {
            return;
        }
        void* address = ::shmat(id, nullptr, SHM_RDONLY);
        if (address == reinterpret_cast<void*>(-1)) {
            ::shmctl(id, IPC_RMID, nullptr);
            return;
        }
        address_ = static_cast<const std::uint8_t*>(address);
        size_ = size;
        segment_ = xcb_generate_id(connection);
        attached_ = requestSucceeded(
            connection,
            xcb_shm_attach_checked(connection, segment_, static_cast<std::uint32_t>(id), 0));
        ::shmctl(id, IPC_RMID, nullptr);
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;
    ~SharedSegment() {
        if (attached_) {
            xcb_shm_detach(connection_, segment_);
            xcb_flush(connection_);
        }
        if (address_ != nullptr) {
            ::shmdt(address_);
        }
    }

    bool usable() const { return attached_; }
    xcb_shm_seg_t segment() const { return segment_; }
    std::span<const std::uint8_t> bytes(std::size_t count) const {
        return {address_, std::min(count, size_)};
    }

private:
    xcb_connection_t* connection_;
    const std::uint8_t* address_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
    bool attached_ = false;
};

// Keeps other clients from changing the window between reading its geometry and its pixels.
class ServerGrab {
public:
    explicit ServerGrab(xcb_connection_t* connection) : connection_(connection) {
        xcb_grab_server(connection_);
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;
    ~ServerGrab() {
        xcb_ungrab_server(connection_);
        xcb_flush(connection_);
    }

private:
    xcb_connection_t* connection_;
};

class NamedPixmap {
public:
    NamedPixmap(xcb_connection_t* connection, xcb_window_t window)
        : connection_(connection), pixmap_(xcb_generate_id(connection)) {
        named_ = requestSucceeded(
            connection, xcb_composite_name_window_pixmap_checked(connection, window, pixmap_));
    }
    NamedPixmap(const NamedPixmap&) = delete;
    NamedPixmap& operator=(const NamedPixmap&) = delete;
    ~NamedPixmap() {
        if (named_) {
            xcb_free_pixmap(connection_, pixmap_);
            xcb_flush(connection_);
        }
    }

    bool named() const { return named_; }
    xcb_pixmap_t pixmap() const { return pixmap_; }

private:
    xcb_connection_t* connection_;
    xcb_pixmap_t pixmap_;
    bool named_ = false;
};

// Rows read from the server at a time: one small shared segment serves the whole image.
constexpr std::int64_t kBandRows = 64;

// A screen image read lazily, band by band, as the scaler or encoder asks for rows. It holds the
// server grab from the moment the geometry was read until its last row is read, so every band
// belongs to one consistent picture, and then lets the server go at once.
struct ScreenReader {
    std::unique_ptr<X11Display> display;
    std::unique_ptr<ServerGrab> serverGrab;
    std::unique_ptr<NamedPixmap> pixmap;
    std::unique_ptr<SharedSegment> segment;  // null: plain GetImage
    PixelSource source;
    PixelLayout layout;
    XcbPointer<xcb_get_image_reply_t> bandReply;  // the band, when it came without shared memory
    std::span<const std::uint8_t> bandBytes;
    std::int64_t bandFirst = 0;
    std::int64_t bandRows = 0;

    ~ScreenReader() { release(); }

    void release() {
        bandRows = 0;
        bandBytes = {};
        bandReply.reset();
        segment.reset();
        pixmap.reset();
        serverGrab.reset();
        display.reset();
    }

    // Fetches the band of up to kBandRows rows that starts at `first` into the shared segment
    // (or a GetImage reply), where it stays until a row outside it is asked for.
    bool fetchBand(std::int64_t first) {
        xcb_connection_t* connection = display->get();
        const std::int64_t rows = std::min(kBandRows, source.area.height - first);
        const auto x = static_cast<std::int16_t>(source.area.x);
        const auto y = static_cast<std::int16_t>(source.area.y + first);
        const auto width = static_cast<std::uint16_t>(source.area.width);
        const auto height = static_cast<std::uint16_t>(rows);
        bandRows = 0;
        bandReply.reset();
        if (segment) {
            const auto reply =
                takeReply(xcb_shm_get_image_reply, connection,
                          xcb_shm_get_image(connection, source.drawable, x, y, width, height, ~0u,
                                            XCB_IMAGE_FORMAT_Z_PIXMAP, segment->segment(), 0));
            if (!reply || reply->depth != source.depth) {
                return false;
            }
            bandBytes = segment->bytes(reply->size);
        } else {
            bandReply = takeReply(xcb_get_image_reply, connection,
                                  xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                source.drawable, x, y, width, height, ~0u));
            if (!bandReply || bandReply->depth != source.depth) {
                return false;
            }
            const std::size_t received = std::size_t{bandReply->length} * 4;
            const auto claimed =
                static_cast<std::size_t>(std::max(xcb_get_image_data_length(bandReply.get()), 0));
            bandBytes = {xcb_get_image_data(bandReply.get()), std::min(received, claimed)};
        }
        bandFirst = first;
        bandRows = rows;
        return true;
    }

    bool read(std::int64_t first, std::int64_t count, std::uint8_t* out, std::size_t stride) {
        if (!display) {
            return false;  // already read to the end, or failed
        }
        for (std::int64_t row = first; row < first + count;) {
            if ((row < bandFirst || row >= bandFirst + bandRows) && !fetchBand(row)) {
                release();
                return false;
            }
            const std::int64_t rows = std::min(first + count, bandFirst + bandRows) - row;
            const auto offset = static_cast<std::size_t>(row - bandFirst) * layout.bytesPerRow;
            if (offset > bandBytes.size() ||
                !convertPixelRows(bandBytes.subspan(offset), source.area.width, rows, layout,
                                  out + static_cast<std::size_t>(row - first) * stride, stride)) {
                release();
                return false;
            }
            row += rows;
        }
        if (first + count == source.area.height) {
            release();  // the picture is complete: let the server and its other clients go
        }
        return true;
    }
};

// A lazily read image of `source`; the reader takes over the connection, the grab and the pixmap.
ImageRef lazyImage(std::unique_ptr<X11Display> display, std::unique_ptr<ServerGrab> serverGrab,
                   std::unique_ptr<NamedPixmap> pixmap, const PixelSource& source) {
    // The reader owns everything from here, so any early return releases it in the right order.
    auto reader = std::make_shared<ScreenReader>();
    reader->display = std::move(display);
    reader->serverGrab = std::move(serverGrab);
    reader->pixmap = std::move(pixmap);
    reader->source = source;

    const Area& area = source.area;
    if (area.width <= 0 || area.height <= 0 || area.width > kMaximumImageSide ||
        area.height > kMaximumImageSide || area.width * area.height > kMaximumImagePixels ||
        area.x < INT16_MIN || area.y < INT16_MIN || area.x > INT16_MAX ||
        area.y + area.height - 1 > INT16_MAX || area.width > UINT16_MAX) {
        return nullptr;
    }
    const auto layout = layoutOf(reader->display->setup, source);
    if (!layout) {
        return nullptr;
    }
    reader->layout = *layout;
    xcb_connection_t* connection = reader->display->get();
    if (offersSharedMemory(connection)) {
        auto segment = std::make_unique<SharedSegment>(
            connection,
            layout->bytesPerRow * static_cast<std::size_t>(std::min(kBandRows, area.height)));
        if (segment->usable()) {
            reader->segment = std::move(segment);
        }
    }
    if (reader->display->failed()) {
        return nullptr;
    }

    auto image = std::make_shared<Image>();
    image->width = area.width;
    image->height = area.height;
    image->bytesPerRow = static_cast<std::size_t>(area.width) * kBytesPerPixel;
    image->readRows = [reader](std::int64_t first, std::int64_t count, std::uint8_t* out,
                               std::size_t stride) {
        return reader->read(first, count, out, stride);
    };
    return image;
}

bool offersComposite(xcb_connection_t* connection) {
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_composite_id);
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    const auto version = takeReply(xcb_composite_query_version_reply, connection,
                                   xcb_composite_query_version(connection, 0, 4));
    return version && (version->major_version > 0 || version->minor_version >= 2);
}

// The child of the root that holds `window` (its window manager frame, or itself).
std::optional<xcb_window_t> topLevelOf(xcb_connection_t* connection, xcb_window_t window,
                                       xcb_window_t root) {
    xcb_window_t current = window;
    for (int depth = 0; depth < kMaximumTreeDepth; ++depth) {
        const auto tree =
            takeReply(xcb_query_tree_reply, connection, xcb_query_tree(connection, current));
        if (!tree) {
            return std::nullopt;
        }
        if (tree->parent == root) {
            return current;
        }
        if (tree->parent == XCB_NONE) {
            return std::nullopt;
        }
        current = tree->parent;
    }
    return std::nullopt;
}

// Where a window's pixels are read from, with the pixmap that names them when a compositor keeps
// the window off-screen.
struct WindowPixels {
    PixelSource source;
    std::unique_ptr<NamedPixmap> pixmap;
};

// The window's contents from the off-screen pixmap a compositor keeps of its top-level window:
// complete even where other windows cover it or it reaches beyond the screen.
std::optional<WindowPixels> redirectedWindowPixels(const X11Display& display, xcb_window_t window,
                                                   xcb_window_t root,
                                                   const xcb_get_geometry_reply_t& geometry) {
    xcb_connection_t* connection = display.get();
    if (!offersComposite(connection)) {
        return std::nullopt;
    }
    const auto topLevel = topLevelOf(connection, window, root);
    if (!topLevel) {
        return std::nullopt;
    }
    const auto attributesCookie = xcb_get_window_attributes(connection, *topLevel);
    const auto geometryCookie = xcb_get_geometry(connection, *topLevel);
    const auto offsetCookie = xcb_translate_coordinates(connection, window, *topLevel, 0, 0);
    const auto attributes =
        takeReply(xcb_get_window_attributes_reply, connection, attributesCookie);
    const auto topGeometry = takeReply(xcb_get_geometry_reply, connection, geometryCookie);
    const auto offset = takeReply(xcb_translate_coordinates_reply, connection, offsetCookie);
    if (!attributes || !topGeometry || !offset) {
        return std::nullopt;
    }
    // Only a redirected window has a pixmap to name; for others this fails with BadMatch.
    auto pixmap = std::make_unique<NamedPixmap>(connection, *topLevel);
    if (!pixmap->named()) {
        return std::nullopt;
    }
    // The pixmap includes the top-level window's border.
    const std::int64_t border = topGeometry->border_width;
    const Area area =
        clipped({offset->dst_x + border, offset->dst_y + border, geometry.width, geometry.height},
                topGeometry->width + 2 * border, topGeometry->height + 2 * border);
    const xcb_pixmap_t drawable = pixmap->pixmap();
    return WindowPixels{.source = {.drawable = drawable,
                                   .area = area,
                                   .depth = topGeometry->depth,
                                   .visual = attributes->visual},
                        .pixmap = std::move(pixmap)};
}

// Read while the server is grabbed, so the window cannot change or vanish before its pixels are.
std::optional<WindowPixels> windowPixels(const X11Display& display, xcb_window_t window) {
    xcb_connection_t* connection = display.get();
    const auto attributesCookie = xcb_get_window_attributes(connection, window);
    const auto geometryCookie = xcb_get_geometry(connection, window);
    const auto attributes =
        takeReply(xcb_get_window_attributes_reply, connection, attributesCookie);
    const auto geometry = takeReply(xcb_get_geometry_reply, connection, geometryCookie);
    if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        geometry->width == 0 || geometry->height == 0) {
        return std::nullopt;
    }
    const xcb_window_t root = geometry->root;
    const xcb_screen_t* screen = screenOfRoot(display.setup, root);
    if (screen == nullptr) {
        return std::nullopt;
    }
    if (window != root) {
        if (auto pixels = redirectedWindowPixels(display, window, root, *geometry)) {
            return pixels;
        }
        if (display.failed()) {
            return std::nullopt;
        }
    }
    // Not redirected: what the screen shows inside the window's rectangle.
    const auto position = takeReply(xcb_translate_coordinates_reply, connection,
                                    xcb_translate_coordinates(connection, window, root, 0, 0));
    if (!position) {
        return std::nullopt;
    }
    const Area area = clipped({position->dst_x, position->dst_y, geometry->width, geometry->height},
                              screen->width_in_pixels, screen->height_in_pixels);
    return WindowPixels{.source = {.drawable = root,
                                   .area = area,
                                   .depth = screen->root_depth,
                                   .visual = screen->root_visual}};
}

}  // namespace

ImageRef createX11WindowListImage(std::uint32_t listOption, CGWindowID windowID, std::uint32_t) {
    auto display = openX11Display();
    if (!display) {
        return nullptr;
    }
    auto serverGrab = std::make_unique<ServerGrab>(display->get());
    if (listOption == kCGWindowListOptionOnScreenOnly && windowID == kCGNullWindowID) {
        const xcb_screen_t* screen = display->screen;
        const PixelSource source{.drawable = screen->root,
                                 .area = {0, 0, screen->width_in_pixels, screen->height_in_pixels},
                                 .depth = screen->root_depth,
                                 .visual = screen->root_visual};
        return lazyImage(std::move(display), std::move(serverGrab), nullptr, source);
    }
    if (listOption == kCGWindowListOptionIncludingWindow && windowID != kCGNullWindowID) {
        auto pixels = windowPixels(*display, windowID);
        if (!pixels) {
            serverGrab.reset();
            return nullptr;
        }
        return lazyImage(std::move(display), std::move(serverGrab), std::move(pixels->pixmap),
                         pixels->source);
    }
    return nullptr;
}

}  // namespace tarnwick
