// Response text from any id and detail bytes: it must parse back as JSON with the same members,
// the strings unchanged when they are UTF-8 and with U+FFFD in place of bad bytes otherwise.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/agent/ResponseFile.hpp"

using namespace tarnwick;
using Json = nlohmann::json;

namespace {

// The text as the response should carry it: unchanged when it is UTF-8, else with each bad
// sequence replaced, as the library's own replacing writer does.
std::string expectedText(const std::string& bytes) {
    try {
        return Json::parse(Json(bytes).dump()).get<std::string>();
    } catch (const Json::exception&) {
        return Json::parse(Json(bytes).dump(-1, ' ', false, Json::error_handler_t::replace))
            .get<std::string>();
    }
}

}  // namespace

// Input: one flags byte, eight bytes of time, then the id and the detail split at the first NUL.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) {
        return 0;
    }
    const bool ok = (data[0] & 1) != 0;
    const bool hasDetail = (data[0] & 2) != 0;
    std::int64_t finishedAt = 0;
    std::memcpy(&finishedAt, data + 1, sizeof finishedAt);
    const std::string_view rest(reinterpret_cast<const char*>(data + 9), size - 9);
    const auto split = rest.find('\0');
    const std::string id(rest.substr(0, split));
    const std::optional<std::string> detail =
        hasDetail ? std::optional<std::string>(split == rest.npos ? std::string_view()
                                                                  : rest.substr(split + 1))
                  : std::nullopt;

    const std::string text = agentResponseText(id, ok, detail, finishedAt);
    const Json parsed = Json::parse(text, nullptr, false);
    fuzz::check(!parsed.is_discarded(), "the text is JSON");
    fuzz::check(parsed.is_object(), "the text is an object");
    fuzz::check(parsed.size() == (detail ? 4u : 3u), "exactly the given members");
    fuzz::check(parsed.at("id") == expectedText(id), "id survives");
    fuzz::check(parsed.at("ok") == ok, "ok survives");
    fuzz::check(
        parsed.at("finished_at").is_number_integer() && parsed.at("finished_at") == finishedAt,
        "finished_at survives as an integer");
    if (detail) {
        fuzz::check(parsed.at("detail") == expectedText(*detail), "detail survives");
    }
    // The library's compact form of the same members, with a backslash before every '/'.
    std::string unescaped;
    for (const char c : text) {
        if (c == '/') {
            fuzz::check(!unescaped.empty() && unescaped.back() == '\\', "every slash escaped");
            unescaped.pop_back();
        }
        unescaped += c;
    }
    fuzz::check(unescaped == parsed.dump(), "compact text");
    return 0;
}
