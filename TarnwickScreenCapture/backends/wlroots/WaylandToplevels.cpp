#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "TarnwickScreenCapture/backends/wlroots/OutputLayout.hpp"
#include "TarnwickScreenCapture/backends/wlroots/ShmBuffer.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandConnection.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace tarnwick {
namespace {

// Windows need no output layout: `depth` says whether to learn it.
OrUnavailable<std::unique_ptr<WaylandConnection>> discovered(
    WaylandConnection::Discovery depth = WaylandConnection::Discovery::kGlobals) {
    auto connected = connectToCompositor();
    if (auto* connection = std::get_if<std::unique_ptr<WaylandConnection>>(&connected)) {
        if (auto trouble = (*connection)->discover(depth)) {
            return std::move(*trouble);
        }
    }
    return connected;
}

ToplevelProtocols protocolsOf(const WaylandConnection& connection) {
    return {
        .list = connection.offers(ext_foreign_toplevel_list_v1_interface.name),
        .states = connection.offers(zwlr_foreign_toplevel_manager_v1_interface.name),
        .windowCapture =
            connection.offers(ext_image_copy_capture_manager_v1_interface.name) &&
            connection.offers(ext_foreign_toplevel_image_capture_source_manager_v1_interface.name)};
}

// One handle of the toplevel list; its listener holds its address.
struct ListedToplevel {
    WaylandPointer<ext_foreign_toplevel_handle_v1> handle;
    std::string identifier;
    std::string title;
    std::string appId;
    bool closed = false;
};

struct ToplevelList {
    WaylandPointer<ext_foreign_toplevel_list_v1> list;
    std::vector<std::unique_ptr<ListedToplevel>> toplevels;
};

const ext_foreign_toplevel_handle_v1_listener handleListener{
    .closed =
        [](void* data, ext_foreign_toplevel_handle_v1*) {
            static_cast<ListedToplevel*>(data)->closed = true;
        },
    .done = [](void*, ext_foreign_toplevel_handle_v1*) {},
    .title = [](void* data, ext_foreign_toplevel_handle_v1*,
                const char* title) { static_cast<ListedToplevel*>(data)->title = title; },
    .app_id = [](void* data, ext_foreign_toplevel_handle_v1*,
                 const char* appId) { static_cast<ListedToplevel*>(data)->appId = appId; },
    .identifier =
        [](void* data, ext_foreign_toplevel_handle_v1*, const char* identifier) {
            static_cast<ListedToplevel*>(data)->identifier = identifier;
        },
};

const ext_foreign_toplevel_list_v1_listener listListener{
    .toplevel =
        [](void* data, ext_foreign_toplevel_list_v1*, ext_foreign_toplevel_handle_v1* handle) {
            auto toplevel = std::make_unique<ListedToplevel>();
            toplevel->handle.reset(handle);
            ext_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, toplevel.get());
            static_cast<ToplevelList*>(data)->toplevels.push_back(std::move(toplevel));
        },
    .finished = [](void*, ext_foreign_toplevel_list_v1*) {},
};

// The compositor announces every existing toplevel, with its properties, as the list is bound.
OrUnavailable<std::unique_ptr<ToplevelList>> listToplevels(WaylandConnection& connection) {
    auto list = std::make_unique<ToplevelList>();
    list->list.reset(static_cast<ext_foreign_toplevel_list_v1*>(
        connection.bind(&ext_foreign_toplevel_list_v1_interface, 1)));
    if (!list->list) {
        return Unavailable{connection.compositor() +
                           " offers no toplevel list (ext_foreign_toplevel_list_v1)"};
    }
    ext_foreign_toplevel_list_v1_add_listener(list->list.get(), &listListener, list.get());
    if (auto trouble = connection.sync()) {
        return std::move(*trouble);
    }
    return list;
}

// One window as the wlroots toplevel manager tells it.
struct StatedToplevel {
    WaylandPointer<zwlr_foreign_toplevel_handle_v1> handle;
    ToplevelStates states;
    bool closed = false;
};

using StatedToplevels = std::vector<std::unique_ptr<StatedToplevel>>;

const zwlr_foreign_toplevel_handle_v1_listener statedListener{
    .title = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                const char* title) { static_cast<StatedToplevel*>(data)->states.title = title; },
    .app_id = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                 const char* appId) { static_cast<StatedToplevel*>(data)->states.appId = appId; },
    .output_enter = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .output_leave = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .state =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
            auto& toplevel = static_cast<StatedToplevel*>(data)->states;
            toplevel.activated = false;
            toplevel.minimized = false;
            const std::size_t count = states->size / sizeof(std::uint32_t);
            for (std::size_t i = 0; i < count; ++i) {
                std::uint32_t state = 0;
                std::memcpy(&state, static_cast<const char*>(states->data) + i * sizeof state,
                            sizeof state);
                toplevel.activated |= state == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
                toplevel.minimized |= state == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED;
            }
        },
    .done = [](void*, zwlr_foreign_toplevel_handle_v1*) {},
    .closed =
        [](void* data, zwlr_foreign_toplevel_handle_v1*) {
            static_cast<StatedToplevel*>(data)->closed = true;
        },
    .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

const zwlr_foreign_toplevel_manager_v1_listener statedManagerListener{
    .toplevel =
        [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
            auto toplevel = std::make_unique<StatedToplevel>();
            toplevel->handle.reset(handle);
            zwlr_foreign_toplevel_handle_v1_add_listener(handle, &statedListener, toplevel.get());
            static_cast<StatedToplevels*>(data)->push_back(std::move(toplevel));
        },
    .finished = [](void*, zwlr_foreign_toplevel_manager_v1*) {},
};

// A capture session of one source, from its buffer constraints to one frame's copy. Listeners
// hold its address.
struct Session {
    WaylandConnection* connection = nullptr;
    WaylandPointer<ext_image_capture_source_v1> source;
    WaylandPointer<ext_image_copy_capture_session_v1> session;
    WaylandPointer<ext_image_copy_capture_frame_v1> frame;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> formats;
    std::uint32_t format = 0;  // the one copied into
    bool constraintsDone = false;
    bool stopped = false;
    bool ready = false;
    bool failed = false;
    std::uint32_t failure = 0;
    std::int32_t transform = 0;

    bool settled() const { return constraintsDone || stopped; }
    bool copied() const { return ready || failed || stopped; }
};

const ext_image_copy_capture_session_v1_listener sessionListener{
    .buffer_size =
        [](void* data, ext_image_copy_capture_session_v1*, std::uint32_t width,
           std::uint32_t height) {
            auto& session = *static_cast<Session*>(data);
            session.width = width;
            session.height = height;
        },
    .shm_format =
        [](void* data, ext_image_copy_capture_session_v1*, std::uint32_t format) {
            static_cast<Session*>(data)->formats.push_back(format);
        },
    .dmabuf_device = [](void*, ext_image_copy_capture_session_v1*, wl_array*) {},
    .dmabuf_format = [](void*, ext_image_copy_capture_session_v1*, std::uint32_t, wl_array*) {},
    .done =
        [](void* data, ext_image_copy_capture_session_v1*) {
            static_cast<Session*>(data)->constraintsDone = true;
        },
    .stopped =
        [](void* data, ext_image_copy_capture_session_v1*) {
            static_cast<Session*>(data)->stopped = true;
        },
};

const ext_image_copy_capture_frame_v1_listener frameListener{
    .transform =
        [](void* data, ext_image_copy_capture_frame_v1*, std::uint32_t transform) {
            static_cast<Session*>(data)->transform = static_cast<std::int32_t>(transform);
        },
    .damage = [](void*, ext_image_copy_capture_frame_v1*, std::int32_t, std::int32_t, std::int32_t,
                 std::int32_t) {},
    .presentation_time = [](void*, ext_image_copy_capture_frame_v1*, std::uint32_t, std::uint32_t,
                            std::uint32_t) {},
    .ready = [](void* data,
                ext_image_copy_capture_frame_v1*) { static_cast<Session*>(data)->ready = true; },
    .failed =
        [](void* data, ext_image_copy_capture_frame_v1*, std::uint32_t reason) {
            auto& session = *static_cast<Session*>(data);
            session.failed = true;
            session.failure = reason;
        },
};

// The capture objects of one connection, bound once.
struct Capturer {
    WaylandPointer<ext_image_copy_capture_manager_v1> copies;
    WaylandPointer<ext_foreign_toplevel_image_capture_source_manager_v1> sources;
};

std::unique_ptr<Session> openSession(WaylandConnection& connection, Capturer& capturer,
                                     ext_foreign_toplevel_handle_v1* handle) {
    auto session = std::make_unique<Session>();
    session->connection = &connection;
    session->source.reset(ext_foreign_toplevel_image_capture_source_manager_v1_create_source(
        capturer.sources.get(), handle));
    session->session.reset(ext_image_copy_capture_manager_v1_create_session(
        capturer.copies.get(), session->source.get(), 0));
    ext_image_copy_capture_session_v1_add_listener(session->session.get(), &sessionListener,
                                                   session.get());
    return session;
}

std::optional<Capturer> capturerOf(WaylandConnection& connection) {
    Capturer capturer;
    capturer.copies.reset(static_cast<ext_image_copy_capture_manager_v1*>(
        connection.bind(&ext_image_copy_capture_manager_v1_interface, 1)));
    capturer.sources.reset(static_cast<ext_foreign_toplevel_image_capture_source_manager_v1*>(
        connection.bind(&ext_foreign_toplevel_image_capture_source_manager_v1_interface, 1)));
    if (!capturer.copies || !capturer.sources) {
        return std::nullopt;
    }
    return capturer;
}

bool acceptableSize(std::uint32_t width, std::uint32_t height) {
    return width > 0 && height > 0 && width <= kMaximumImageSide && height <= kMaximumImageSide &&
           std::uint64_t{width} * height <= kMaximumImagePixels &&
           std::uint64_t{width} * 4 * height <= INT32_MAX;
}

// XRGB8888 where offered, whose copy needs no alpha; else the first format this program reads.
std::optional<std::uint32_t> chosenFormat(const Session& session) {
    const std::size_t stride = std::size_t{session.width} * 4;
    if (std::ranges::find(session.formats, WL_SHM_FORMAT_XRGB8888) != session.formats.end()) {
        return WL_SHM_FORMAT_XRGB8888;
    }
    for (const std::uint32_t format : session.formats) {
        if (layoutOfShmFormat(format, stride)) {
            return format;
        }
    }
    return std::nullopt;
}

std::string failureText(const Session& session, const std::string& what) {
    if (session.stopped ||
        session.failure == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED) {
        return what + " went away while it was copied";
    }
    if (session.failure == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS) {
        return what + " changed size while it was copied";
    }
    return session.connection->compositor() + " failed to copy " + what;
}

// Copies each session's source once, all at the same time: one copy per session, or why not.
// `what` names the sources for causes ("the window", "an output").
OrUnavailable<std::vector<OutputPixels>> copySessions(
    WaylandConnection& connection, std::span<const std::unique_ptr<Session>> sessions,
    const std::string& what, std::vector<std::shared_ptr<const ShmMapping>>& mappings) {
    if (auto trouble = connection.dispatchUntil([&] {
            return std::ranges::all_of(sessions, [](const auto& s) { return s->settled(); });
        })) {
        return std::move(*trouble);
    }
    std::vector<std::optional<ShmBuffer>> buffers;
    for (const auto& session : sessions) {
        if (session->stopped) {
            return Unavailable{what + " went away before it was copied"};
        }
        const auto format = chosenFormat(*session);
        if (!acceptableSize(session->width, session->height) || !format) {
            return Unavailable{connection.compositor() +
                               " offered no buffer this program can read for " + what};
        }
        const auto width = static_cast<std::int32_t>(session->width);
        const auto height = static_cast<std::int32_t>(session->height);
        auto& buffer = buffers.emplace_back(
            ShmBuffer::create(connection.shm.get(), *format, width, height, width * 4));
        if (!buffer) {
            return Unavailable{"no shared memory for a " + std::to_string(width) + "x" +
                               std::to_string(height) + " copy"};
        }
        session->format = *format;
        session->frame.reset(
            ext_image_copy_capture_session_v1_create_frame(session->session.get()));
        ext_image_copy_capture_frame_v1_add_listener(session->frame.get(), &frameListener,
                                                     session.get());
        ext_image_copy_capture_frame_v1_attach_buffer(session->frame.get(), buffer->buffer());
        ext_image_copy_capture_frame_v1_damage_buffer(session->frame.get(), 0, 0, width, height);
        ext_image_copy_capture_frame_v1_capture(session->frame.get());
    }
    if (auto trouble = connection.dispatchUntil([&] {
            return std::ranges::all_of(sessions, [](const auto& s) { return s->copied(); });
        })) {
        return std::move(*trouble);
    }
    std::vector<OutputPixels> copies;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const Session& session = *sessions[i];
        if (!session.ready) {
            return Unavailable{failureText(session, what)};
        }
        const auto transform = outputTransformOf(session.transform);
        if (!transform) {
            return Unavailable{connection.compositor() + " names an unknown transform " +
                               std::to_string(session.transform)};
        }
        const auto width = static_cast<std::int64_t>(session.width);
        const auto height = static_cast<std::int64_t>(session.height);
        const bool swapped = swapsSides(*transform);
        mappings.push_back(buffers[i]->mapping());
        copies.push_back({
            .area = {0, 0, swapped ? height : width, swapped ? width : height},
            .pixelWidth = width,
            .pixelHeight = height,
            .pixels = buffers[i]->mapping()->bytes(),
            .layout = *layoutOfShmFormat(session.format, static_cast<std::size_t>(width) * 4),
            .yInverted = false,
            .transform = *transform,
        });
    }
    return copies;
}

OrUnavailable<SharedImage> copyWindow(WaylandConnection& connection,
                                      ext_foreign_toplevel_handle_v1* handle) {
    auto capturer = capturerOf(connection);
    if (!capturer) {
        return Unavailable{connection.compositor() + " offers no per-window capture"};
    }
    std::vector<std::unique_ptr<Session>> sessions;
    sessions.push_back(openSession(connection, *capturer, handle));
    std::vector<std::shared_ptr<const ShmMapping>> mappings;
    auto copied = copySessions(connection, sessions, "the window", mappings);
    if (auto* unavailable = std::get_if<Unavailable>(&copied)) {
        return std::move(*unavailable);
    }
    const auto& copies = std::get<std::vector<OutputPixels>>(copied);
    if (auto image = composeOutputs(copies.front().area, copies, mappings.front())) {
        return image;
    }
    return Unavailable{"the window's copy cannot be made into an image"};
}

}  // namespace

OrUnavailable<SharedImage> waylandSourceDesktopImage() {
    auto connected = discovered(WaylandConnection::Discovery::kLayout);
    if (auto* unavailable = std::get_if<Unavailable>(&connected)) {
        return std::move(*unavailable);
    }
    auto& connection = *std::get<std::unique_ptr<WaylandConnection>>(connected);
    const WaylandPointer<ext_image_copy_capture_manager_v1> copies(
        static_cast<ext_image_copy_capture_manager_v1*>(
            connection.bind(&ext_image_copy_capture_manager_v1_interface, 1)));
    const WaylandPointer<ext_output_image_capture_source_manager_v1> sources(
        static_cast<ext_output_image_capture_source_manager_v1*>(
            connection.bind(&ext_output_image_capture_source_manager_v1_interface, 1)));
    if (!copies || !sources) {
        return Unavailable{
            connection.compositor() +
            " offers no output capture (ext_output_image_capture_source_manager_v1)"};
    }
    if (!connection.shm || connection.outputs.empty()) {
        return Unavailable{connection.compositor() +
                           (connection.shm ? " has no output" : " offers no shared memory")};
    }
    std::vector<std::unique_ptr<Session>> sessions;
    std::vector<LogicalBox> areas;
    for (const auto& output : connection.outputs) {
        auto session = std::make_unique<Session>();
        session->connection = &connection;
        session->source.reset(ext_output_image_capture_source_manager_v1_create_source(
            sources.get(), output->output.get()));
        session->session.reset(ext_image_copy_capture_manager_v1_create_session(
            copies.get(), session->source.get(), 0));
        ext_image_copy_capture_session_v1_add_listener(session->session.get(), &sessionListener,
                                                       session.get());
        sessions.push_back(std::move(session));
        areas.push_back(output->area());
    }
    auto mappings = std::make_shared<std::vector<std::shared_ptr<const ShmMapping>>>();
    auto copied = copySessions(connection, sessions, "an output", *mappings);
    if (auto* unavailable = std::get_if<Unavailable>(&copied)) {
        return std::move(*unavailable);
    }
    auto& outputs = std::get<std::vector<OutputPixels>>(copied);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        outputs[i].area = areas[i];
    }
    if (auto image = composeOutputs(boundingBox(areas), outputs, std::move(mappings))) {
        return image;
    }
    return Unavailable{"the copies of the outputs cannot be made into one image"};
}

namespace {

// The size of each window's image, asked of all at once.
std::optional<Unavailable> measure(WaylandConnection& connection, const ToplevelList& list,
                                   std::vector<Toplevel>& toplevels) {
    auto capturer = capturerOf(connection);
    if (!capturer) {
        return std::nullopt;
    }
    std::vector<std::unique_ptr<Session>> sessions;
    for (const auto& listed : list.toplevels) {
        sessions.push_back(
            listed->closed ? nullptr : openSession(connection, *capturer, listed->handle.get()));
    }
    if (auto trouble = connection.dispatchUntil([&] {
            return std::ranges::all_of(sessions, [](const auto& s) { return !s || s->settled(); });
        })) {
        return trouble;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.toplevels.size(); ++i) {
        if (list.toplevels[i]->closed) {
            continue;
        }
        const auto& session = sessions[i];
        if (session->constraintsDone && !session->stopped && session->width > 0 &&
            session->height > 0) {
            toplevels[kept].size = std::pair(session->width, session->height);
        }
        ++kept;
    }
    return std::nullopt;
}

}  // namespace

void joinStates(std::vector<Toplevel>& toplevels, const std::vector<ToplevelStates>& states) {
    std::vector<bool> taken(states.size(), false);
    for (auto& toplevel : toplevels) {
        std::optional<std::size_t> sameTitle;
        std::optional<std::size_t> same;
        for (std::size_t i = 0; i < states.size() && !same; ++i) {
            if (taken[i] || states[i].title != toplevel.title) {
                continue;
            }
            if (states[i].appId == toplevel.appId) {
                same = i;
            } else if (!sameTitle) {
                sameTitle = i;
            }
        }
        if (const auto found = same ? same : sameTitle) {
            taken[*found] = true;
            toplevel.activated = states[*found].activated;
            toplevel.minimized = states[*found].minimized;
        }
    }
}

OrUnavailable<ToplevelProtocols> waylandToplevelProtocols() {
    auto connected = discovered();
    if (auto* unavailable = std::get_if<Unavailable>(&connected)) {
        return std::move(*unavailable);
    }
    return protocolsOf(*std::get<std::unique_ptr<WaylandConnection>>(connected));
}

std::string toplevelProtocolsText(const ToplevelProtocols& protocols) {
    if (protocols.reachesWindows()) {
        return std::string("the compositor lists its windows (ext_foreign_toplevel_list_v1") +
               (protocols.states ? ", with zwlr_foreign_toplevel_manager_v1's states" : "") +
               ") and captures each (ext_image_copy_capture_manager_v1 with "
               "ext_foreign_toplevel_image_capture_source_manager_v1): a window is taken with "
               "its own pixels, covered or not";
    }
    if (protocols.list) {
        return "the compositor lists its windows (ext_foreign_toplevel_list_v1) but offers no "
               "per-window capture (ext_image_copy_capture_manager_v1 with "
               "ext_foreign_toplevel_image_capture_source_manager_v1): its native windows "
               "cannot be captured";
    }
    return "the compositor offers no toplevel list (ext_foreign_toplevel_list_v1) and no "
           "per-window capture (ext_image_copy_capture_manager_v1)";
}

OrUnavailable<std::vector<Toplevel>> waylandToplevels() {
    auto connected = discovered();
    if (auto* unavailable = std::get_if<Unavailable>(&connected)) {
        return std::move(*unavailable);
    }
    auto& connection = *std::get<std::unique_ptr<WaylandConnection>>(connected);
    StatedToplevels stated;
    WaylandPointer<zwlr_foreign_toplevel_manager_v1> statesManager(
        static_cast<zwlr_foreign_toplevel_manager_v1*>(
            connection.bind(&zwlr_foreign_toplevel_manager_v1_interface, 3)));
    if (statesManager) {
        zwlr_foreign_toplevel_manager_v1_add_listener(statesManager.get(), &statedManagerListener,
                                                      &stated);
    }
    auto listed = listToplevels(connection);
    if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
        return std::move(*unavailable);
    }
    const auto& list = *std::get<std::unique_ptr<ToplevelList>>(listed);
    std::vector<Toplevel> toplevels;
    for (const auto& entry : list.toplevels) {
        if (entry->closed) {
            continue;
        }
        toplevels.push_back(
            {.identifier = entry->identifier, .title = entry->title, .appId = entry->appId});
    }
    std::vector<ToplevelStates> states;
    for (const auto& entry : stated) {
        if (!entry->closed) {
            states.push_back(entry->states);
        }
    }
    joinStates(toplevels, states);
    if (auto trouble = measure(connection, list, toplevels)) {
        return std::move(*trouble);
    }
    return toplevels;
}

OrUnavailable<SharedImage> waylandToplevelImage(
    std::string_view identifier,
    const std::function<OrUnavailable<SharedImage>()>& withoutWindowCapture) {
    {
        auto connected = discovered();
        if (auto* unavailable = std::get_if<Unavailable>(&connected)) {
            return std::move(*unavailable);
        }
        auto& connection = *std::get<std::unique_ptr<WaylandConnection>>(connected);
        const ToplevelProtocols protocols = protocolsOf(connection);
        if (protocols.reachesWindows() || !withoutWindowCapture) {
            auto listed = listToplevels(connection);
            if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
                return std::move(*unavailable);
            }
            for (const auto& entry : std::get<std::unique_ptr<ToplevelList>>(listed)->toplevels) {
                if (!entry->closed && entry->identifier == identifier) {
                    return copyWindow(connection, entry->handle.get());
                }
            }
            return Unavailable{"the window closed before it was copied"};
        }
    }
    return withoutWindowCapture();
}

WindowSystem toplevelWindowSystem(const ToplevelProtocols& protocols) {
    // The identifiers behind the window ids of the last listing.
    auto identifiers = std::make_shared<std::vector<std::string>>();
    return WindowSystem{
        .description = "the toplevel list",
        .note = toplevelProtocolsText(protocols) +
                "; with no places or stacking to go by, the activated window is taken first, "
                "then the most recently opened",
        .windows = [identifiers]() -> OrUnavailable<std::vector<WindowDescription>> {
            auto listed = waylandToplevels();
            if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
                return std::move(*unavailable);
            }
            identifiers->clear();
            std::vector<ListedWindow> windows;
            for (auto& toplevel : std::get<std::vector<Toplevel>>(listed)) {
                identifiers->push_back(std::move(toplevel.identifier));
                WindowDescription window{
                    .id = static_cast<WindowId>(identifiers->size()),
                    .minimized = toplevel.minimized,
                    .ownerName = std::move(toplevel.appId),
                    .title = std::move(toplevel.title),
                };
                if (toplevel.size) {
                    window.bounds =
                        WindowBounds{.width = static_cast<double>(toplevel.size->first),
                                     .height = static_cast<double>(toplevel.size->second)};
                }
                windows.push_back({std::move(window), toplevel.activated});
            }
            return frontToBackByListing(std::move(windows));
        },
        .desktopImage = [] { return waylandDesktopImage(); },
        .windowImage =
            [identifiers](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            if (window.id == kNoWindow || window.id > identifiers->size()) {
                return Unavailable{"the window is not one the toplevel list gave"};
            }
            return waylandToplevelImage((*identifiers)[window.id - 1]);
        },
    };
}

}  // namespace tarnwick
