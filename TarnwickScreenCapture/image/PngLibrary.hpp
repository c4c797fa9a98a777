#pragma once

#include <spng.h>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

// The parts of libspng in use, loaded when the first PNG is read (the portal's file, GNOME's
// desktop) rather than at start, for the same reason as the session bus library.
struct PngLibrary {
    spng_ctx* (*newContext)(int flags);
    void (*freeContext)(spng_ctx* context);
    int (*setImageLimits)(spng_ctx* context, uint32_t width, uint32_t height);
    int (*setChunkLimits)(spng_ctx* context, size_t chunkSize, size_t cacheSize);
    int (*setBuffer)(spng_ctx* context, const void* buffer, size_t size);
    int (*header)(spng_ctx* context, struct spng_ihdr* header);
    int (*decodedSize)(spng_ctx* context, int format, size_t* size);
    int (*decodeImage)(spng_ctx* context, void* out, size_t size, int format, int flags);
    int (*decodeChunks)(spng_ctx* context);
};

// Null when the library cannot be loaded.
const PngLibrary* pngLibrary();

RuntimeLibrary pngRuntimeLibrary();

}  // namespace tarnwick
