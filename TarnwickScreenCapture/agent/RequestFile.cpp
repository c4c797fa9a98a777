#include "TarnwickScreenCapture/agent/RequestFile.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/Users.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

// A first, non-building pass over the text. It stops at the first container deeper than the
// limit, so hostile nesting costs neither stack nor memory, and it refuses a name repeated within
// one object: the parser would silently keep the last, and a writer and this reader could then
// disagree on which request a file holds.
class StructureCheck final : public Json::json_sax_t {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }

    bool start_object(std::size_t) override {
        if (!enter()) {
            return false;
        }
        objectNames_.emplace_back();
        return true;
    }
    bool key(string_t& name) override {
        if (!objectNames_.back().insert(name).second) {
            problem_ = "the name '" + name + "' stands twice in one object";
            return false;
        }
        return true;
    }
    bool end_object() override {
        objectNames_.pop_back();
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const Json::exception& error) override {
        problem_ = std::string("not JSON: ") + error.what();
        return false;
    }

    // Why the text was refused, once it was.
    const std::string& problem() const { return problem_; }

private:
    bool enter() {
        if (++depth_ > kMaximumRequestNesting) {
            problem_ = "nested deeper than " + std::to_string(kMaximumRequestNesting) + " levels";
            return false;
        }
        return true;
    }

    std::string problem_;
    std::size_t depth_ = 0;
    std::vector<std::unordered_set<std::string>> objectNames_;
};

// None when the text's structure is acceptable; otherwise why not.
std::optional<std::string> structureProblem(std::string_view bytes) {
    StructureCheck check;
    // Strict: one value and nothing after it; comments are syntax errors.
    if (Json::sax_parse(bytes.begin(), bytes.end(), &check, Json::input_format_t::json, true,
                        false)) {
        return std::nullopt;
    }
    return check.problem().empty() ? "not JSON" : check.problem();
}

const Json* member(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

// Booleans are not numbers here: true for a quality or a width is more likely a mistake than 1.
double qualityFrom(const Json* value) {
    if (value == nullptr || !value->is_number()) {
        return kDefaultQuality;
    }
    return clampedQuality(value->get<double>());
}

// Integers are taken exactly as written, never through a double; a float counts only when its
// value is whole and within 64 signed bits (1280.0 is 1280, 1280.5 is another type).
std::int64_t maxWidthFrom(const Json* value) {
    if (value == nullptr) {
        return 0;
    }
    std::int64_t width = 0;
    if (value->is_number_unsigned()) {
        const auto unsignedWidth = value->get<std::uint64_t>();
        if (unsignedWidth > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return 0;
        }
        width = static_cast<std::int64_t>(unsignedWidth);
    } else if (value->is_number_integer()) {
        width = value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        const double floatWidth = value->get<double>();
        constexpr double kTwoToThe63 = 9223372036854775808.0;
        if (!std::isfinite(floatWidth) || std::trunc(floatWidth) != floatWidth ||
            floatWidth < -kTwoToThe63 || floatWidth >= kTwoToThe63) {
            return 0;
        }
        width = static_cast<std::int64_t>(floatWidth);
    }
    return width < 0 ? 0 : width;
}

struct ParsedRequest {
    CaptureRequest request;
    bool idFollowsClock = false;
};

// Why bytes are no request.
struct NoRequest {
    std::string reason;
};

// Only UTF-8 is read (a leading byte-order mark is skipped); invalid UTF-8 and lone surrogate
// escapes are syntax errors.
std::variant<ParsedRequest, NoRequest> parsedRequest(std::string_view bytes) {
    try {
        if (auto problem = structureProblem(bytes)) {
            return NoRequest{std::move(*problem)};
        }
        const Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
        if (!document.is_object()) {
            return NoRequest{"the text is no JSON object"};
        }
        const Json* output = member(document, "output");
        if (output == nullptr || !output->is_string()) {
            return NoRequest{"it has no 'output' string"};
        }
        if (output->get_ref<const std::string&>().empty()) {
            return NoRequest{"its 'output' is empty"};
        }
        const Json* id = member(document, "id");
        const Json* target = member(document, "target");
        const bool idFollowsClock = id == nullptr || !id->is_string();
        return ParsedRequest{
            .request =
                CaptureRequest{
                    .id = idFollowsClock ? std::to_string(currentUnixSeconds())
                                         : id->get<std::string>(),
                    .output = fileLocationFromPath(output->get<std::string>()),
                    .quality = qualityFrom(member(document, "quality")),
                    .maxWidth = maxWidthFrom(member(document, "maxWidth")),
                    .target = target != nullptr && target->is_string()
                                  ? targetFromKeyword(target->get<std::string>())
                                  : CaptureTarget::kTavik,
                },
            .idFollowsClock = idFollowsClock,
        };
    } catch (const std::exception& error) {
        return NoRequest{error.what()};
    }
}

bool sameFacts(const FileFacts& a, const FileFacts& b) {
    return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}

bool settled(const FileFacts& facts, WallTime now, std::int64_t settledAfterSeconds) {
    now.seconds -= settledAfterSeconds;
    return facts.changed < now;
}

}  // namespace

std::filesystem::path requestFilePath() {
    return homeDirectory() / kAgentFolder / kAgentRequestFileName;
}

std::filesystem::path responseFilePath() {
    return homeDirectory() / kAgentFolder / kAgentResponseFileName;
}

std::optional<CaptureRequest> requestFromAgentText(std::string_view bytes) {
    auto parsed = parsedRequest(bytes);
    if (auto* request = std::get_if<ParsedRequest>(&parsed)) {
        return std::move(request->request);
    }
    return std::nullopt;
}

AgentRequestRead requestFromAgentFolder(int folderFd, const std::filesystem::path& folder,
                                        const std::string& name, const Trust& trust,
                                        std::optional<RequestFileMemo>& memo,
                                        const ChangeNotices& notices) {
    // Read before the file's facts, so that a change after them is never taken as settled.
    const WallTime now = wallClockNow();
    auto judged = judgeRequestFile(folderFd, folder, name, trust);
    if (judged.verdict != Verdict::kTrusted) {
        if (judged.verdict != Verdict::kDistrusted) {
            memo.reset();
        }
        std::optional<std::string> refusal;
        if (!judged.reason.empty()) {
            refusal = std::move(judged.reason);
        }
        return {.verdict = judged.verdict, .refusal = std::move(refusal)};
    }
    const OpenedFile& file = judged.opened;
    const bool notifiedChange = notices.delivered && notices.sinceLastRead;
    if (memo && !notifiedChange && sameFacts(memo->facts, file.facts)) {
        auto request = memo->request;
        if (request && memo->idFollowsClock) {
            request->id = std::to_string(currentUnixSeconds());
        }
        return {.verdict = Verdict::kTrusted, .request = std::move(request), .facts = file.facts};
    }
    memo.reset();
    std::variant<ParsedRequest, NoRequest> parsed =
        NoRequest{file.facts.size > static_cast<std::int64_t>(kMaximumRequestFileBytes)
                      ? "it is larger than " + std::to_string(kMaximumRequestFileBytes) + " bytes"
                      : "it cannot be read"};
    if (const auto bytes = readOpenFileBounded(file.fd.get(), kMaximumRequestFileBytes)) {
        parsed = parsedRequest(*bytes);
    }
    const auto* request = std::get_if<ParsedRequest>(&parsed);
    if (notices.delivered || settled(file.facts, now, notices.settledAfterSeconds)) {
        memo = RequestFileMemo{
            .facts = file.facts,
            .request = request ? std::optional<CaptureRequest>(request->request) : std::nullopt,
            .idFollowsClock = request && request->idFollowsClock,
        };
    }
    if (!request) {
        return {.verdict = Verdict::kTrusted,
                .notARequest = std::get<NoRequest>(std::move(parsed)).reason,
                .facts = file.facts};
    }
    return {.verdict = Verdict::kTrusted, .request = request->request, .facts = file.facts};
}

std::optional<CaptureRequest> requestFromAgentFile(const std::filesystem::path& file) {
    try {
        const auto folder = file.has_parent_path() ? file.parent_path() : ".";
        const Trust trust = trustOfThisUser();
        const auto judged = judgeRequestFolder(folder, trust);
        if (judged.verdict != Verdict::kTrusted) {
            return std::nullopt;
        }
        std::optional<RequestFileMemo> noMemo;
        return requestFromAgentFolder(judged.opened.fd.get(), folder, file.filename().string(),
                                      trust, noMemo)
            .request;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace tarnwick
