#include "TarnwickScreenCapture/cli/HelpAndVersion.hpp"

#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/cli/Version.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {

std::string helpText(const std::filesystem::path& agentFolder) {
    std::string text = messages::kUsage;
    text += R"(
       TarnwickScreenCapture            perform the agent request file's request once
       TarnwickScreenCapture --agent    answer requests in the agent folder until stopped
       TarnwickScreenCapture --list-windows
                                        list the windows, front to back, and the one a
                                        window capture takes, with the rule for each
       TarnwickScreenCapture --doctor   say why a capture or the agent would fail, and
                                        what fixes it; writes nothing

Takes one JPEG screenshot of the Tavik or Brevant window, or of the whole desktop,
scales it down to maxWidth and writes it to output.jpg.

  output.jpg  the file to write (a JPEG whatever its extension); its folder must exist
  quality     a fraction from 0.2 to 0.95 (0.8, not 80 or 0,8); default 0.55
  maxWidth    largest width in pixels; default 0, no limit
  target      desktop: the whole screen; any other word, and the default tavik:
              the topmost window whose owner name or title holds tavik, brevant or zorvel

Agent files, in )";
    text += shownForTerminal(agentFolder.native());  // from $HOME
    text += ":\n  ";
    text += kAgentRequestFileName;
    text += "   requests, written by your program\n  ";
    text += kAgentResponseFileName;
    text += R"(  answers, written by the agent

Exit status: 0 written; 2 to 6 capture failed (one line on standard error);
64 no output path and no usable request file. --list-windows exits 0, or 2 when
no window system can be reached; --doctor exits as a window capture would.
At a terminal, a failure also says its cause, and arguments that look swapped
or mistyped say how they were taken.
More in the manual page: man TarnwickScreenCapture
)";
    return text;
}

std::string versionText() {
    return std::string("TarnwickScreenCapture ") + kVersion + "\n";
}

std::optional<std::string> informationFromArguments(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) {
        return std::nullopt;
    }
    if (arguments[1] == "--help" || arguments[1] == "-h") {
        return helpText(requestFilePath().parent_path());
    }
    if (arguments[1] == "--version") {
        return versionText();
    }
    return std::nullopt;
}

}  // namespace tarnwick
