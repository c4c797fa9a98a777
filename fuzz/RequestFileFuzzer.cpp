// Request-file bytes in, a request or none out. Any request made must keep the builders'
// promises and must survive being written back as a request file and read again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "RequestChecks.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto request = requestFromAgentText(bytes);
    if (!request) {
        return 0;
    }
    fuzz::checkRequestInvariants(*request);
    fuzz::check(!request->output.empty(), "output not empty");

    const nlohmann::json written = {
        {"id", request->id},
        {"output", request->output.native()},
        {"quality", request->quality},
        {"maxWidth", request->maxWidth},
        {"target", request->target == CaptureTarget::kDesktop ? "desktop" : "tavik"}};
    const auto reread = requestFromAgentText(written.dump());
    fuzz::check(reread.has_value(), "a written request is read back");
    fuzz::check(reread->id == request->id, "id survives");
    fuzz::check(reread->output == request->output, "output survives");
    fuzz::check(reread->quality == request->quality, "quality survives");
    fuzz::check(reread->maxWidth == request->maxWidth, "maxWidth survives");
    fuzz::check(reread->target == request->target, "target survives");
    return 0;
}
