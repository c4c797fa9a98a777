#include "TarnwickScreenCapture/backends/x11/X11SharedMemory.hpp"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {
namespace {

bool isLocalConnection(xcb_connection_t* connection) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return ::getsockname(xcb_get_file_descriptor(connection), reinterpret_cast<sockaddr*>(&address),
                         &length) == 0 &&
           address.ss_family == AF_UNIX;
}

}  // namespace

SharedMemory sharedMemoryOffered(const X11Display& display) {
    xcb_connection_t* connection = display.get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shm_id);
    display.watchdog->noteProgress();
    if (extension == nullptr || extension->present == 0 || !isLocalConnection(connection)) {
        return SharedMemory::kNone;
    }
    const auto version =
        takeReply(xcb_shm_query_version_reply, display, xcb_shm_query_version(connection));
    if (!version) {
        return SharedMemory::kNone;
    }
    return version->major_version > 1 || version->minor_version >= 2 ? SharedMemory::kDescriptor
                                                                     : SharedMemory::kSystemV;
}

SharedSegment::SharedSegment(const X11Display& display, std::size_t size, bool passDescriptor)
    : connection_(display.get()) {
    if (passDescriptor) {
        attachDescriptor(size);
    } else {
        attachSystemV(size);
    }
}

SharedSegment::~SharedSegment() {
    detach();
    if (mapped_) {
        ::munmap(const_cast<std::uint8_t*>(address_), size_);
    } else if (address_ != nullptr) {
        ::shmdt(address_);
    }
}

bool SharedSegment::usable(const X11Display& display) {
    if (attaching_) {
        attached_ = requestSucceeded(display, *attaching_);
        attaching_.reset();
        removeSystemV();
    }
    return attached_;
}

void SharedSegment::detach() {
    removeSystemV();
    if (attached_ || attaching_) {
        xcb_shm_detach(connection_, segment_);
        xcb_flush(connection_);
        attached_ = false;
        attaching_.reset();
    }
}

void SharedSegment::removeSystemV() {
    if (marked_) {
        ::shmctl(*marked_, IPC_RMID, nullptr);
        marked_.reset();
    }
}

void SharedSegment::attachDescriptor(std::size_t size) {
    FileDescriptor fd(::memfd_create("tarnwick-band", MFD_CLOEXEC));
    if (!fd) {
        return;
    }
    void* address = MAP_FAILED;
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) == 0) {
        address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    }
    if (address == MAP_FAILED) {
        return;
    }
    address_ = static_cast<const std::uint8_t*>(address);
    size_ = size;
    mapped_ = true;
    segment_ = xcb_generate_id(connection_);
    // XCB closes the descriptor once it is sent.
    attaching_ = xcb_shm_attach_fd_checked(connection_, segment_, fd.release(), 0);
}

void SharedSegment::attachSystemV(std::size_t size) {
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
    attaching_ = xcb_shm_attach_checked(connection_, segment_, static_cast<std::uint32_t>(id), 0);
    // Removed once the server has attached it too.
    marked_ = id;
}

}  // namespace tarnwick
