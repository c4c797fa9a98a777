#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/backends/x11/X11Connection.hpp"
#include "TarnwickScreenCapture/backends/x11/X11ServerGuards.hpp"
#include "TarnwickScreenCapture/backends/x11/X11SharedMemory.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowPixels.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"
#include "TarnwickScreenCapture/image/PixelConversion.hpp"

namespace tarnwick {

// A screen image read lazily, band by band, as the scaler or encoder asks for rows. Making it
// holds no grab, so the caller can open its output meanwhile. The first row read grabs the
// server and finds the window again, at its new place if it moved (a size that changed fails the
// read); the grab lasts until the last row is read, so every band belongs to one consistent
// picture, and is let go at once then, on any failure and when the image is dropped.
class ScreenReader {
public:
    // The image of what `window` shows, as found at `source`; its reader takes over the
    // connection. Unavailable when the area cannot be one image or the connection fails.
    static OrUnavailable<SharedImage> lazyImage(std::unique_ptr<X11Display> display,
                                                xcb_window_t window, const PixelSource& source);

    ScreenReader(const ScreenReader&) = delete;
    ScreenReader& operator=(const ScreenReader&) = delete;
    ~ScreenReader();

    // As Image::readRows: the rows converted to RGBA, or copied where the server sends BGRX.
    bool readRows(std::int64_t first, std::int64_t count, std::uint8_t* out, std::size_t stride);
    // As Image::lendRows, for an image the server sends as BGRX: the rows where they arrived.
    bool lendRows(std::int64_t first, std::int64_t count, const std::uint8_t** rows);

private:
    // Two bands are in flight: the server copies the next one while this one is converted and
    // scaled.
    static constexpr int kBands = 2;

    // A band asked for and not yet taken: its reply is waited for when its rows are needed.
    struct Request {
        std::int64_t first = 0;
        int slot = 0;
        unsigned int sequence = 0;
        bool shared = false;
    };

    ScreenReader(std::unique_ptr<X11Display> display, xcb_window_t window,
                 const PixelSource& source, PixelLayout layout);

    bool attachSegments();
    template <class Take>
    bool withConnection(std::int64_t first, std::int64_t count, const Take& take);
    bool copyRows(std::int64_t first, std::int64_t count, std::uint8_t* out, std::size_t stride);
    bool lendBandRows(std::int64_t first, std::int64_t count, const std::uint8_t** rows);
    bool grab();
    void letServerGo();
    Request ask(std::int64_t first, int slot);
    bool fetchBand(std::int64_t first);
    std::int64_t rowsOfBand(std::int64_t first) const;
    const std::uint8_t* rowOfBand(std::int64_t row) const;
    std::size_t pixelBytes() const;

    std::unique_ptr<X11Display> display_;
    xcb_window_t window_ = XCB_NONE;
    PixelSource source_;  // as found when the image was made, then as found under the grab
    PixelLayout layout_;
    std::unique_ptr<ServerGrab> serverGrab_;
    std::unique_ptr<NamedPixmap> pixmap_;
    std::array<std::unique_ptr<SharedSegment>, kBands> segments_;  // null: plain GetImage
    std::optional<Request> pending_;
    XcbPointer<xcb_get_image_reply_t> bandReply_;  // the band, when it came without shared memory
    std::span<const std::uint8_t> bandBytes_;
    std::int64_t bandFirst_ = 0;
    std::int64_t bandRows_ = 0;
    int bandSlot_ = 0;
    bool asSent_ = false;  // the server's pixels are opaque BGRX already: passed on unconverted
    std::vector<std::uint8_t> straddling_;  // lent rows of a band whose slot is being reused
    std::string failure_;                   // why a read failed
};

}  // namespace tarnwick
