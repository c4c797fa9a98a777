#include "TarnwickScreenCapture/platform/portal/PngLibrary.hpp"

#include <optional>

#include "TarnwickScreenCapture/platform/LoadedLibrary.hpp"

namespace tarnwick {
namespace {

std::optional<PngLibrary> load() {
    // Kept loaded for the life of the process.
    void* library = ::dlopen("libspng.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return std::nullopt;
    }
    PngLibrary png{};
    if (!resolveSymbol(library, "spng_ctx_new", png.newContext) ||
        !resolveSymbol(library, "spng_ctx_free", png.freeContext) ||
        !resolveSymbol(library, "spng_set_image_limits", png.setImageLimits) ||
        !resolveSymbol(library, "spng_set_chunk_limits", png.setChunkLimits) ||
        !resolveSymbol(library, "spng_set_png_buffer", png.setBuffer) ||
        !resolveSymbol(library, "spng_get_ihdr", png.header) ||
        !resolveSymbol(library, "spng_decoded_image_size", png.decodedSize) ||
        !resolveSymbol(library, "spng_decode_image", png.decodeImage) ||
        !resolveSymbol(library, "spng_decode_chunks", png.decodeChunks)) {
        return std::nullopt;
    }
    return png;
}

}  // namespace

const PngLibrary* pngLibrary() {
    static const std::optional<PngLibrary> library = load();
    return library ? &*library : nullptr;
}

}  // namespace tarnwick
