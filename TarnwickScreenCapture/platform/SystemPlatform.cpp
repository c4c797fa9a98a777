#include "TarnwickScreenCapture/platform/Files.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TarnwickScreenCapture/platform/Platform.hpp"
#include "TarnwickScreenCapture/platform/Process.hpp"
#include "TarnwickScreenCapture/platform/Uuid.hpp"
#include "TarnwickScreenCapture/platform/X11Images.hpp"
#include "TarnwickScreenCapture/platform/X11WindowList.hpp"

namespace tarnwick {

Platform systemPlatform() {
    Platform platform;
    platform.copyWindowInfo = copyX11WindowInfo;
    platform.createWindowListImage = createX11WindowListImage;
    platform.createJpegDestination = createJpegFileDestination;
    platform.temporaryDirectory = temporaryDirectory;
    platform.runProcess = runProcessAndWait;
    platform.decodeImageFile = decodeJpegFile;
    platform.removeFile = removeFile;
    platform.newUUIDString = newUUIDString;
    return platform;
}

}  // namespace tarnwick
