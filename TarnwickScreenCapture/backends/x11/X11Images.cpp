#include "TarnwickScreenCapture/backends/x11/X11Images.hpp"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/shm.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11Server.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"

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

// Pixels of `area` of one drawable, whose depth and visual are known beforehand, and the colormap
// that gives their colours where the visual needs one.
struct PixelSource {
    xcb_drawable_t drawable = XCB_NONE;
    Area area;
    std::uint8_t depth = 0;
    xcb_visualid_t visual = XCB_NONE;
    xcb_colormap_t colormap = XCB_NONE;
};

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

// The layout of the source's pixels; its colormap is filled in by loadColormap.
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

std::uint8_t eightBits(std::uint16_t value) {
    return static_cast<std::uint8_t>((std::uint32_t{value} * 255 + 32767) / 65535);
}

// Reads the colormap entries the pixels index: one per pixel value of an indexed visual, one per
// channel value of a DirectColor one (each pixel's channel bits pick that channel's entry).
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

bool isLocalConnection(xcb_connection_t* connection) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return ::getsockname(xcb_get_file_descriptor(connection), reinterpret_cast<sockaddr*>(&address),
                         &length) == 0 &&
           address.ss_family == AF_UNIX;
}

// How the server can be handed a shared segment: none (it may be on another machine), by System
// V id, or by file descriptor.
enum class SharedMemory { none, systemV, descriptor };

// A segment the server can write into only exists on the same machine.
SharedMemory sharedMemoryOffered(const X11Display& display) {
    xcb_connection_t* connection = display.get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shm_id);
    display.watchdog->noteProgress();
    if (extension == nullptr || extension->present == 0 || !isLocalConnection(connection)) {
        return SharedMemory::none;
    }
    const auto version =
        takeReply(xcb_shm_query_version_reply, display, xcb_shm_query_version(connection));
    if (!version) {
        return SharedMemory::none;
    }
    return version->major_version > 1 || version->minor_version >= 2 ? SharedMemory::descriptor
                                                                     : SharedMemory::systemV;
}

// A segment attached both here and in the server, detached on every path. Where the server takes
// a file descriptor (MIT-SHM 1.2) it is an unnamed memory file whose pages are mapped in at once,
// which spares a page fault per page on first reading; otherwise a System V segment, marked for
// removal as soon as the server holds it. Nothing outlives the process either way.
class SharedSegment {
public:
    SharedSegment(const X11Display& display, std::size_t size, bool passDescriptor)
        : connection_(display.get()) {
        if (passDescriptor) {
            attachDescriptor(size);
        } else {
            attachSystemV(size);
        }
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;
    ~SharedSegment() {
        detach();
        if (mapped_) {
            ::munmap(const_cast<std::uint8_t*>(address_), size_);
        } else if (address_ != nullptr) {
            ::shmdt(address_);
        }
    }

    // Waits for the server's word on the attachment; asking for both segments first and then
    // waiting costs one round trip, not two.
    bool usable(const X11Display& display) {
        if (attaching_) {
            attached_ = requestSucceeded(display, *attaching_);
            attaching_.reset();
            removeSystemV();
        }
        return attached_;
    }
    // Lets the server go of the segment; its bytes stay readable here until destruction.
    void detach() {
        removeSystemV();
        if (attached_ || attaching_) {
            xcb_shm_detach(connection_, segment_);
            xcb_flush(connection_);
            attached_ = false;
            attaching_.reset();
        }
    }
    xcb_shm_seg_t segment() const { return segment_; }
    std::span<const std::uint8_t> bytes(std::size_t count) const {
        return {address_, std::min(count, size_)};
    }

private:
    xcb_connection_t* connection_;
    const std::uint8_t* address_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
    std::optional<xcb_void_cookie_t> attaching_;
    bool attached_ = false;
    bool mapped_ = false;
    std::optional<int> marked_;

    void removeSystemV() {
        if (marked_) {
            ::shmctl(*marked_, IPC_RMID, nullptr);
            marked_.reset();
        }
    }

    void attachDescriptor(std::size_t size) {
        const int fd = ::memfd_create("tarnwick-band", MFD_CLOEXEC);
        if (fd < 0) {
            return;
        }
        void* address = MAP_FAILED;
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
            address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        }
        if (address == MAP_FAILED) {
            ::close(fd);
            return;
        }
        address_ = static_cast<const std::uint8_t*>(address);
        size_ = size;
        mapped_ = true;
        segment_ = xcb_generate_id(connection_);
        // XCB closes the descriptor once it is sent.
        attaching_ = xcb_shm_attach_fd_checked(connection_, segment_, fd, 0);
    }

    void attachSystemV(std::size_t size) {
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
        segment_ = xcb_generate_id(connection_);
        attaching_ =
            xcb_shm_attach_checked(connection_, segment_, static_cast<std::uint32_t>(id), 0);
        // Removed once the server has attached it too.
        marked_ = id;
    }
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
    NamedPixmap(const X11Display& display, xcb_window_t window)
        : connection_(display.get()), pixmap_(xcb_generate_id(connection_)) {
        named_ = requestSucceeded(
            display, xcb_composite_name_window_pixmap_checked(connection_, window, pixmap_));
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

bool offersComposite(const X11Display& display) {
    xcb_connection_t* connection = display.get();
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_composite_id);
    display.watchdog->noteProgress();
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    const auto version = takeReply(xcb_composite_query_version_reply, display,
                                   xcb_composite_query_version(connection, 0, 4));
    return version && (version->major_version > 0 || version->minor_version >= 2);
}

// The child of the root that holds `window` (its window manager frame, or itself).
std::optional<xcb_window_t> topLevelOf(const X11Display& display, xcb_window_t window,
                                       xcb_window_t root) {
    xcb_window_t current = window;
    for (int depth = 0; depth < kMaximumTreeDepth; ++depth) {
        const auto tree =
            takeReply(xcb_query_tree_reply, display, xcb_query_tree(display.get(), current));
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
    if (!offersComposite(display)) {
        return std::nullopt;
    }
    const auto topLevel = topLevelOf(display, window, root);
    if (!topLevel) {
        return std::nullopt;
    }
    const auto attributesCookie = xcb_get_window_attributes(connection, *topLevel);
    const auto geometryCookie = xcb_get_geometry(connection, *topLevel);
    const auto offsetCookie = xcb_translate_coordinates(connection, window, *topLevel, 0, 0);
    const auto attributes = takeReply(xcb_get_window_attributes_reply, display, attributesCookie);
    const auto topGeometry = takeReply(xcb_get_geometry_reply, display, geometryCookie);
    const auto offset = takeReply(xcb_translate_coordinates_reply, display, offsetCookie);
    if (!attributes || !topGeometry || !offset) {
        return std::nullopt;
    }
    // Only a redirected window has a pixmap to name; for others this fails with BadMatch.
    auto pixmap = std::make_unique<NamedPixmap>(display, *topLevel);
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
                                   .visual = attributes->visual,
                                   .colormap = attributes->colormap},
                        .pixmap = std::move(pixmap)};
}

// Where the pixels of `window` (the root window for the whole screen) are to be read now.
std::optional<WindowPixels> windowPixels(const X11Display& display, xcb_window_t window) {
    xcb_connection_t* connection = display.get();
    const auto attributesCookie = xcb_get_window_attributes(connection, window);
    const auto geometryCookie = xcb_get_geometry(connection, window);
    const auto attributes = takeReply(xcb_get_window_attributes_reply, display, attributesCookie);
    const auto geometry = takeReply(xcb_get_geometry_reply, display, geometryCookie);
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
    // Not redirected: what the screen shows inside the window's rectangle, with the colours of
    // the window's colormap where it shares the screen's visual. The root's size is asked for,
    // since the screen may have been resized since the connection was made.
    Area area{0, 0, geometry->width, geometry->height};
    if (window != root) {
        const auto positionCookie = xcb_translate_coordinates(connection, window, root, 0, 0);
        const auto rootCookie = xcb_get_geometry(connection, root);
        const auto position = takeReply(xcb_translate_coordinates_reply, display, positionCookie);
        const auto rootGeometry = takeReply(xcb_get_geometry_reply, display, rootCookie);
        if (!position || !rootGeometry) {
            return std::nullopt;
        }
        area = clipped({position->dst_x, position->dst_y, geometry->width, geometry->height},
                       rootGeometry->width, rootGeometry->height);
    }
    const bool ownColormap =
        attributes->visual == screen->root_visual && attributes->colormap != XCB_NONE;
    return WindowPixels{
        .source = {.drawable = root,
                   .area = area,
                   .depth = screen->root_depth,
                   .visual = screen->root_visual,
                   .colormap = ownColormap ? attributes->colormap : screen->default_colormap}};
}

// The usual 24-bit TrueColor screen: 32-bit words, low byte first, no alpha.
bool isOpaqueBgrx(const PixelLayout& layout) {
    return layout.colours == PixelColours::kMasks && layout.bitsPerPixel == 32 &&
           layout.byteOrder == PixelByteOrder::kLeastSignificantFirst &&
           layout.redMask == 0xff0000u && layout.greenMask == 0xff00u && layout.blueMask == 0xffu &&
           layout.alphaMask == 0;
}

bool sameShape(const PixelSource& a, const PixelSource& b) {
    return a.area.width == b.area.width && a.area.height == b.area.height && a.depth == b.depth &&
           a.visual == b.visual;
}

// Rows read from the server at a time. Two bands are in flight: the server copies the next one
// while this one is converted and scaled. Small bands stay in the processor's caches between the
// server's copy and our reading: 24 rows took 0.86x the time of 64 at 3840x2160 and 0.90x at
// 1920x1080; 16 cost more in round trips than it saved.
constexpr std::int64_t kBandRows = 24;
constexpr int kBands = 2;

// A screen image read lazily, band by band, as the scaler or encoder asks for rows. Making it
// holds no grab, so the caller can open its output meanwhile. The first row read grabs the
// server and finds the window again, at its new place if it moved (a size that changed fails the
// read); the grab lasts until the last row is read, so every band belongs to one consistent
// picture, and is let go at once then, on any failure and when the image is dropped.
struct ScreenReader {
    // A band asked for and not yet taken: its reply is waited for when its rows are needed.
    struct Request {
        std::int64_t first = 0;
        int slot = 0;
        unsigned int sequence = 0;
        bool shared = false;
    };

    std::unique_ptr<X11Display> display;
    xcb_window_t window = XCB_NONE;
    PixelSource source;  // as found when the image was made, then as found under the grab
    PixelLayout layout;
    std::unique_ptr<ServerGrab> serverGrab;
    std::unique_ptr<NamedPixmap> pixmap;
    std::array<std::unique_ptr<SharedSegment>, kBands> segments;  // null: plain GetImage
    std::optional<Request> pending;
    XcbPointer<xcb_get_image_reply_t> bandReply;  // the band, when it came without shared memory
    std::span<const std::uint8_t> bandBytes;
    std::int64_t bandFirst = 0;
    std::int64_t bandRows = 0;
    int bandSlot = 0;
    bool asSent = false;  // the server's pixels are opaque BGRX already: passed on unconverted
    std::vector<std::uint8_t> straddling;  // lent rows of a band whose slot is being reused

    ~ScreenReader() { release(); }

    void release() {
        letServerGo();
        display.reset();
    }

    std::size_t pixelBytes() const {
        return static_cast<std::size_t>(source.area.width) * kBytesPerPixel;
    }

    // Where `row` of the current band is, or null when the band is short of it.
    const std::uint8_t* rowOfBand(std::int64_t row) const {
        const auto offset = static_cast<std::size_t>(row - bandFirst) * layout.bytesPerRow;
        return offset <= bandBytes.size() && bandBytes.size() - offset >= pixelBytes()
                   ? bandBytes.data() + offset
                   : nullptr;
    }

    void letServerGo() {
        if (pending && display) {
            xcb_discard_reply(display->get(), pending->sequence);
        }
        pending.reset();
        // Rows lent last stay where they are until the image is dropped.
        for (auto& segment : segments) {
            if (segment) {
                segment->detach();
            }
        }
        pixmap.reset();
        serverGrab.reset();
    }

    bool grab() {
        serverGrab = std::make_unique<ServerGrab>(display->get());
        auto pixels = windowPixels(*display, window);
        if (!pixels || !sameShape(pixels->source, source)) {
            return false;
        }
        pixmap = std::move(pixels->pixmap);
        source = pixels->source;
        return loadColormap(*display, source, layout);
    }

    std::int64_t rowsOfBand(std::int64_t first) const {
        return std::min(kBandRows, source.area.height - first);
    }

    // Asks for the band that starts at `first`, into the shared segment of `slot` (or a GetImage
    // reply), and sends the request at once so that the server works on it meanwhile.
    Request ask(std::int64_t first, int slot) {
        xcb_connection_t* connection = display->get();
        const auto x = static_cast<std::int16_t>(source.area.x);
        const auto y = static_cast<std::int16_t>(source.area.y + first);
        const auto width = static_cast<std::uint16_t>(source.area.width);
        const auto height = static_cast<std::uint16_t>(rowsOfBand(first));
        Request request{.first = first, .slot = slot, .shared = segments[slot] != nullptr};
        if (request.shared) {
            request.sequence =
                xcb_shm_get_image(connection, source.drawable, x, y, width, height, ~0u,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, segments[slot]->segment(), 0)
                    .sequence;
        } else {
            request.sequence = xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, source.drawable,
                                             x, y, width, height, ~0u)
                                   .sequence;
        }
        xcb_flush(connection);
        return request;
    }

    // Makes the band that starts at `first` the current one, and asks for the band after it into
    // the other slot before this one is converted.
    bool fetchBand(std::int64_t first) {
        if (pending && pending->first != first) {
            xcb_discard_reply(display->get(), pending->sequence);
            pending.reset();
        }
        // The current band's slot is free again: its rows have all been taken.
        const Request request = pending ? *pending : ask(first, 1 - bandSlot);
        pending.reset();
        bandRows = 0;
        bandReply.reset();
        if (request.shared) {
            const auto reply = takeReply(xcb_shm_get_image_reply, *display,
                                         xcb_shm_get_image_cookie_t{request.sequence});
            if (!reply || reply->depth != source.depth) {
                return false;
            }
            bandBytes = segments[request.slot]->bytes(reply->size);
        } else {
            bandReply =
                takeReply(xcb_get_image_reply, *display, xcb_get_image_cookie_t{request.sequence});
            if (!bandReply || bandReply->depth != source.depth) {
                return false;
            }
            const std::size_t received = std::size_t{bandReply->length} * 4;
            const auto claimed =
                static_cast<std::size_t>(std::max(xcb_get_image_data_length(bandReply.get()), 0));
            bandBytes = {xcb_get_image_data(bandReply.get()), std::min(received, claimed)};
        }
        bandFirst = first;
        bandRows = rowsOfBand(first);
        bandSlot = request.slot;
        const std::int64_t next = first + bandRows;
        if (next < source.area.height) {
            pending = ask(next, 1 - bandSlot);
        }
        return true;
    }

    bool readRows(std::int64_t first, std::int64_t count, std::uint8_t* out, std::size_t stride) {
        if (!serverGrab && !grab()) {
            return false;
        }
        for (std::int64_t row = first; row < first + count;) {
            if ((row < bandFirst || row >= bandFirst + bandRows) && !fetchBand(row)) {
                return false;
            }
            const std::int64_t rows = std::min(first + count, bandFirst + bandRows) - row;
            const auto offset = static_cast<std::size_t>(row - bandFirst) * layout.bytesPerRow;
            std::uint8_t* target = out + static_cast<std::size_t>(row - first) * stride;
            if (asSent) {
                for (std::int64_t i = 0; i < rows; ++i) {
                    const std::uint8_t* pixels = rowOfBand(row + i);
                    if (pixels == nullptr) {
                        return false;
                    }
                    std::memcpy(target + static_cast<std::size_t>(i) * stride, pixels,
                                pixelBytes());
                }
            } else if (offset > bandBytes.size() ||
                       !convertPixelRows(bandBytes.subspan(offset), source.area.width, rows, layout,
                                         target, stride)) {
                return false;
            }
            row += rows;
        }
        return true;
    }

    bool lendRows(std::int64_t first, std::int64_t count, const std::uint8_t** rows) {
        if (!serverGrab && !grab()) {
            return false;
        }
        // Sized before any row of this call points into it.
        const std::size_t rowBytes = pixelBytes();
        straddling.resize(std::max(straddling.size(), static_cast<std::size_t>(count) * rowBytes));
        for (std::int64_t row = first; row < first + count; ++row) {
            if (row < bandFirst || row >= bandFirst + bandRows) {
                // The fetch lets the server reuse the current band's memory: rows this call has
                // lent from it are copied out of the way first.
                for (std::int64_t i = 0; i < row - first; ++i) {
                    std::uint8_t* kept = straddling.data() + static_cast<std::size_t>(i) * rowBytes;
                    if (rows[i] != kept) {
                        std::memcpy(kept, rows[i], rowBytes);
                        rows[i] = kept;
                    }
                }
                if (!fetchBand(row)) {
                    return false;
                }
            }
            rows[row - first] = rowOfBand(row);
            if (rows[row - first] == nullptr) {
                return false;
            }
        }
        return true;
    }

    template <class Take>
    bool read(std::int64_t first, std::int64_t count, const Take& take) {
        if (!display) {
            return false;  // already read to the end, or failed
        }
        bool succeeded = false;
        bool done = false;
        {
            const auto busy = display->busy();
            succeeded = take();
            done = !succeeded || first + count == source.area.height;
            if (done) {
                letServerGo();  // the picture is complete (or lost): let the other clients go
            }
        }
        if (done) {
            display.reset();
        }
        return succeeded;
    }
};

// A lazily read image of what `window` shows; the reader takes over the connection.
SharedImage lazyImage(std::unique_ptr<X11Display> display, xcb_window_t window,
                      const PixelSource& source) {
    const Area& area = source.area;
    if (area.width <= 0 || area.height <= 0 || area.width > kMaximumImageSide ||
        area.height > kMaximumImageSide || area.width * area.height > kMaximumImagePixels ||
        area.x < INT16_MIN || area.y < INT16_MIN || area.x > INT16_MAX ||
        area.y + area.height - 1 > INT16_MAX || area.width > UINT16_MAX) {
        return nullptr;
    }
    auto layout = layoutOf(display->setup, source);
    if (!layout) {
        return nullptr;
    }
    auto reader = std::make_shared<ScreenReader>();
    reader->display = std::move(display);
    reader->window = window;
    reader->source = source;
    reader->layout = std::move(*layout);
    reader->asSent = isOpaqueBgrx(reader->layout);
    const X11Display& connection = *reader->display;
    const auto busy = connection.busy();
    const SharedMemory sharedMemory = sharedMemoryOffered(connection);
    if (sharedMemory != SharedMemory::none) {
        const std::size_t size =
            reader->layout.bytesPerRow * static_cast<std::size_t>(std::min(kBandRows, area.height));
        for (auto& segment : reader->segments) {
            segment = std::make_unique<SharedSegment>(connection, size,
                                                      sharedMemory == SharedMemory::descriptor);
        }
        // Both or neither: a band's request says where its pixels go.
        const bool first = reader->segments[0]->usable(connection);
        if (!reader->segments[1]->usable(connection) || !first) {
            for (auto& segment : reader->segments) {
                segment.reset();
            }
        }
    }
    if (connection.failed()) {
        return nullptr;
    }

    auto image = std::make_shared<Image>();
    image->width = area.width;
    image->height = area.height;
    image->bytesPerRow = static_cast<std::size_t>(area.width) * kBytesPerPixel;
    image->readRows = [reader](std::int64_t first, std::int64_t count, std::uint8_t* out,
                               std::size_t stride) {
        return reader->read(first, count,
                            [&] { return reader->readRows(first, count, out, stride); });
    };
    if (reader->asSent) {
        image->order = PixelOrder::kBgrx;
        image->lendRows = [reader](std::int64_t first, std::int64_t count,
                                   const std::uint8_t** rows) {
            return reader->read(first, count, [&] { return reader->lendRows(first, count, rows); });
        };
    }
    return image;
}

// The image of the root window or of one window, read when its rows are.
SharedImage imageOfWindow(std::unique_ptr<X11Display> display, xcb_window_t window) {
    std::optional<PixelSource> source;
    {
        const auto busy = display->busy();
        // Only the shape is kept: the pixels are found again under the grab.
        if (const auto pixels = windowPixels(*display, window)) {
            source = pixels->source;
        }
    }
    if (!source) {
        return nullptr;
    }
    return lazyImage(std::move(display), window, *source);
}

}  // namespace

SharedImage x11DesktopImage() {
    auto display = openX11Display();
    if (!display || isXWayland(*display)) {
        return nullptr;
    }
    const xcb_window_t root = display->screen->root;
    return imageOfWindow(std::move(display), root);
}

SharedImage x11WindowImage(WindowId windowID) {
    auto display = openX11Display();
    if (!display || windowID == kNoWindow) {
        return nullptr;
    }
    return imageOfWindow(std::move(display), windowID);
}

}  // namespace tarnwick
