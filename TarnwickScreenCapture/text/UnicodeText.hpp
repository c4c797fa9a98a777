#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// Unicode default full lower-case mapping, independent of the process locale.
// Invalid UTF-8 sequences are taken as U+FFFD.
std::string lowercased(std::string_view utf8);

// Case-sensitive containment in which canonically equivalent sequences compare equal and a
// match must not split a user-perceived character. An empty needle is never contained.
bool containsCanonically(std::string_view haystackUtf8, std::string_view needleUtf8);

// The text between double quotes, safe to print on a terminal: control, format and separator
// characters (escape sequences, bidirectional overrides, line breaks), quotes and backslashes
// are written as escapes, and bytes that are not UTF-8 as \xNN.
std::string quotedForTerminal(std::string_view utf8);

// The same escapes without the quotes, for text set inside a line of ours. Text longer than
// `longest` bytes keeps its beginning and its end, cut between characters, around "...".
std::string escapedForTerminal(std::string_view utf8, std::size_t longest);

// The text as it is where quotedForTerminal would escape nothing in it (the usual display names
// and folders), else in quotedForTerminal's form.
std::string shownForTerminal(std::string_view utf8);

}  // namespace tarnwick
