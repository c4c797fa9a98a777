#include "TarnwickScreenCapture/cli/TerminalHints.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "TarnwickScreenCapture/cli/CommandLine.hpp"
#include "TarnwickScreenCapture/text/ShellQuoting.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

constexpr std::size_t kLongestCause = 300;
constexpr std::size_t kLongestArgument = 60;
constexpr std::size_t kMostIgnoredShown = 3;
constexpr const char* kDoctor = "run `TarnwickScreenCapture --doctor`";
// Stands for the output file in a suggestion when no argument looks like one.
constexpr const char* kExampleOutput = "shot.jpg";

constexpr std::array<std::string_view, 6> kSwitches = {"--help",         "-h",       "--version",
                                                       "--list-windows", "--doctor", "--agent"};

bool isSwitch(const std::string& text) {
    return std::find(kSwitches.begin(), kSwitches.end(), text) != kSwitches.end();
}

bool isPlainWord(std::string_view text) {
    constexpr std::string_view kPlainMarks = "._-+,:/@%=";
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               kPlainMarks.find(c) != std::string_view::npos;
    });
}

// An argument as it could be typed again: plain, in shell quotes, or escaped and quoted where
// the terminal would otherwise act on it.
std::string shown(const std::string& text) {
    if (isPlainWord(text)) {
        return text;
    }
    const std::string escaped = escapedForTerminal(text, kLongestArgument);
    return escaped == text ? quotedForShell(text) : "\"" + escaped + "\"";
}

std::string formatted(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g", value);
    return text.data();
}

bool isKeyword(const std::string& text) {
    const std::string lower = lowercased(text);
    return lower == "desktop" || lower == "tavik";
}

bool looksLikeSwitch(const std::string& text) {
    return text.size() > 1 && text.front() == '-' && !numberFromArgument(text);
}

// "0,8": a number written with a decimal comma, as the number with a point.
std::optional<std::string> withDecimalPoint(const std::string& text) {
    if (std::count(text.begin(), text.end(), ',') != 1) {
        return std::nullopt;
    }
    std::string dotted = text;
    std::replace(dotted.begin(), dotted.end(), ',', '.');
    return numberFromArgument(dotted) ? std::optional(dotted) : std::nullopt;
}

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string_view withoutDashes(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of('-'), text.size()));
    return text;
}

// The switch a mistyped one most likely means: "-v", "--HELP", "-help", "--halp", "--list".
std::optional<std::string> switchMeant(const std::string& text) {
    if (text == "-v" || text == "-V") {
        return "--version";
    }
    const std::string lower = lowercased(text);
    const std::string_view body = withoutDashes(lower);
    if (body.size() < 3 || body.size() > 40) {
        return std::nullopt;
    }
    for (const auto candidate : kSwitches) {
        const std::string_view name = withoutDashes(candidate);
        if (name.size() < 3) {
            continue;
        }
        const std::size_t allowed = body.size() >= 6 ? 2 : 1;
        if (name.starts_with(body) || editDistance(body, name) <= allowed) {
            return std::string(candidate);
        }
    }
    return std::nullopt;
}

// The arguments put where each seems to belong: the first plain word as the output, a fraction
// (or a percentage) as the quality, a whole number as the width, the keyword as the target.
std::vector<std::string> rearranged(const std::vector<std::string>& arguments) {
    if (isSwitch(arguments[1])) {
        return {arguments[1]};
    }
    if (arguments.size() == 2 && looksLikeSwitch(arguments[1])) {
        if (const auto meant = switchMeant(arguments[1])) {
            return {*meant};
        }
    }
    std::optional<std::string> output, quality, width, target;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::string text = arguments[i];
        if (const auto dotted = withDecimalPoint(text)) {
            text = *dotted;
        }
        const auto number = numberFromArgument(text);
        if (!number) {
            if (isKeyword(text)) {
                target = target.value_or(lowercased(text));
            } else if (!output && !looksLikeSwitch(text)) {
                output = text;
            }
            continue;
        }
        const auto integer = integerFromArgument(text);
        if (!quality && *number >= 0 && *number <= 1) {
            quality = text;
        } else if (!quality && integer && *integer > 1 && *integer <= 100) {
            quality = formatted(clampedQuality(static_cast<double>(*integer) / 100));
        } else if (!width && integer && *integer >= 0) {
            width = text;
        } else if (!quality) {
            quality = formatted(clampedQuality(*number));
        }
    }
    std::vector<std::string> meant{output.value_or(kExampleOutput)};
    if (quality || width || target) {
        meant.push_back(quality.value_or(formatted(kDefaultQuality)));
    }
    if (width || target) {
        meant.push_back(width.value_or("0"));
    }
    if (target) {
        meant.push_back(*target);
    }
    return meant;
}

bool sameEffect(const std::optional<CaptureRequest>& a, const std::optional<CaptureRequest>& b) {
    return a && b && a->output == b->output && a->quality == b->quality &&
           a->maxWidth == b->maxWidth && a->target == b->target;
}

// The command that was likely meant, when it would do something else than this one.
std::optional<std::string> suggestion(const std::vector<std::string>& arguments) {
    std::vector<std::string> meant = rearranged(arguments);
    std::string command = "TarnwickScreenCapture";
    for (const auto& argument : meant) {
        command += " " + shown(argument);
    }
    meant.insert(meant.begin(), arguments.front());
    if (looksLikeSwitch(meant[1]) ||
        !sameEffect(requestFromArguments(meant), requestFromArguments(arguments))) {
        return command;
    }
    return std::nullopt;
}

std::vector<std::string> clausesFor(const std::vector<std::string>& arguments) {
    const std::size_t count = arguments.size();
    std::vector<std::string> clauses;
    const std::string& output = arguments[1];
    if (numberFromArgument(output) || withDecimalPoint(output) || isKeyword(output) ||
        looksLikeSwitch(output)) {
        clauses.push_back(shown(output) + " is taken as the output file" +
                          (isSwitch(output) ? " (options stand alone)" : ""));
    }
    bool desktopMisplaced = false;
    if (count >= 3) {
        const std::string& text = arguments[2];
        if (const auto quality = numberFromArgument(text)) {
            const double taken = clampedQuality(*quality);
            if (!(taken == *quality)) {
                clauses.push_back("quality " + shown(text) + " is taken as " + formatted(taken));
            }
        } else {
            clauses.push_back(shown(text) + " is no quality, so " + formatted(kDefaultQuality) +
                              " is used");
            desktopMisplaced = lowercased(text) == "desktop";
        }
    }
    if (count >= 4) {
        const std::string& text = arguments[3];
        if (const auto width = integerFromArgument(text)) {
            if (*width < 0) {
                clauses.push_back("width " + shown(text) + " is taken as 0, no limit");
            }
        } else {
            clauses.push_back(shown(text) + " is no whole number, so the width has no limit");
            desktopMisplaced = desktopMisplaced || lowercased(text) == "desktop";
        }
    }
    if (count >= 5 && !isKeyword(arguments[4])) {
        clauses.push_back(shown(arguments[4]) +
                          " is taken as tavik (only desktop means the whole desktop)");
    }
    if (desktopMisplaced && (count < 5 || lowercased(arguments[4]) != "desktop")) {
        clauses.push_back("the window is captured, not the desktop (the target comes fourth)");
    }
    if (count >= 6) {
        std::string ignored;
        for (std::size_t i = 5; i < count && i < 5 + kMostIgnoredShown; ++i) {
            ignored += (i == 5 ? "" : " ") + shown(arguments[i]);
        }
        if (count > 5 + kMostIgnoredShown) {
            ignored += " ...";
        }
        clauses.push_back(ignored + (count == 6 ? " is" : " are") +
                          " ignored (at most four arguments)");
    }
    return clauses;
}

}  // namespace

std::string failureHintLine(const CaptureFailure& failure) {
    // --doctor looks at the session: the window system, the windows, the images. A file that
    // cannot be written is said all about by its cause.
    const bool aboutTheSession = failure.exitCode == exitCodes::kListWindowsFailed ||
                                 failure.exitCode == exitCodes::kWindowNotFound ||
                                 failure.exitCode == exitCodes::kCaptureFailed;
    if (failure.cause.empty()) {
        return aboutTheSession ? std::string(kDoctor) + " to see why" : "cause: unknown";
    }
    const std::string cause = "cause: " + escapedForTerminal(failure.cause, kLongestCause);
    return aboutTheSession ? cause + "; " + kDoctor : cause;
}

std::string usageHintLine(const std::filesystem::path& requestFile) {
    return "no output file was given, and " + shownForTerminal(requestFile.native()) +
           " holds no request; `TarnwickScreenCapture --help` shows the arguments";
}

std::optional<std::string> argumentHintLine(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return std::nullopt;
    }
    const auto clauses = clausesFor(arguments);
    if (clauses.empty()) {
        return std::nullopt;
    }
    std::string line = "note: ";
    for (std::size_t i = 0; i < clauses.size(); ++i) {
        line += (i == 0 ? "" : "; ") + clauses[i];
    }
    if (const auto meant = suggestion(arguments)) {
        line += "; did you mean `" + *meant + "`?";
    }
    return line;
}

}  // namespace tarnwick
