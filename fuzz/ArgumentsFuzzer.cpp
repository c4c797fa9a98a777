// Command-line parsing: the input is up to six NUL-separated arguments (element 0 the program).
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RequestChecks.hpp"
#include "TarnwickScreenCapture/cli/CommandLine.hpp"
#include "TarnwickScreenCapture/cli/TerminalHints.hpp"

using namespace tarnwick;

namespace {

bool isCanonicalUpperUuid(const std::string& id) {
    if (id.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string asciiLowercased(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments;
    while (arguments.size() < 6) {
        const auto end = rest.find('\0');
        arguments.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }

    // What a terminal is told about the arguments is one line that cannot act on it.
    if (const auto note = argumentHintLine(arguments)) {
        fuzz::check(std::none_of(note->begin(), note->end(),
                                 [](char c) {
                                     const auto byte = static_cast<unsigned char>(c);
                                     return byte < 0x20 || byte == 0x7f;
                                 }),
                    "the note holds no control character");
    }

    const auto request = requestFromArguments(arguments);
    fuzz::check(request.has_value() == (arguments.size() >= 2), "a request iff an output is given");
    if (!request) {
        return 0;
    }
    fuzz::checkRequestInvariants(*request);
    // An empty output element is still a request; the destination refuses it later.
    fuzz::check(request->output.empty() == arguments[1].empty(), "output empty only when given so");
    fuzz::check(isCanonicalUpperUuid(request->id), "id is an upper-case UUID");
    if (arguments.size() < 3) {
        fuzz::check(request->quality == kDefaultQuality, "default quality");
    }
    if (arguments.size() < 4) {
        fuzz::check(request->maxWidth == 0, "default width");
    }
    if (arguments.size() >= 5 && isAscii(arguments[4])) {
        fuzz::check((request->target == CaptureTarget::kDesktop) ==
                        (asciiLowercased(arguments[4]) == "desktop"),
                    "desktop exactly for that word in any case");
    } else if (arguments.size() < 5) {
        fuzz::check(request->target == CaptureTarget::kTavik, "default target");
    }
    return 0;
}
