#include "TarnwickScreenCapture/image/PngLibrary.hpp"

#include <string>

#include "TarnwickScreenCapture/posix/LoadedLibrary.hpp"

namespace tarnwick {

RuntimeLibrary pngRuntimeLibrary() {
    return {"libspng.so.0", "libspng0", "reading the desktop portal's screenshots"};
}

const PngLibrary* pngLibrary() {
    static const std::string file = pngRuntimeLibrary().file;
    return loadedOnce<PngLibrary>(file.c_str(), [](void* library, PngLibrary& png) {
        return resolveSymbol(library, "spng_ctx_new", png.newContext) &&
               resolveSymbol(library, "spng_ctx_free", png.freeContext) &&
               resolveSymbol(library, "spng_set_image_limits", png.setImageLimits) &&
               resolveSymbol(library, "spng_set_chunk_limits", png.setChunkLimits) &&
               resolveSymbol(library, "spng_set_png_buffer", png.setBuffer) &&
               resolveSymbol(library, "spng_get_ihdr", png.header) &&
               resolveSymbol(library, "spng_decoded_image_size", png.decodedSize) &&
               resolveSymbol(library, "spng_decode_image", png.decodeImage) &&
               resolveSymbol(library, "spng_decode_chunks", png.decodeChunks);
    });
}

}  // namespace tarnwick
