// Texts for a terminal. File and port names may hold any bytes; printed as they are, an
// escape sequence in one would be run by the terminal (retitle it, rewrite the screen, answer
// back) and a line break or a carriage return would forge output lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// text with every control character shown as an escape: \n, \r, \t, \x1b for the other C0
// controls and DEL, \u0085 for the C1 controls and for the characters that break lines or
// reverse the text's direction (U+2028, U+202E, ...), \xff for each byte that is not UTF-8.
// keepNewlines leaves line breaks as they are: the fixed message texts have their own.
std::string TerminalText(std::string_view text, bool keepNewlines = false);

// A message for a terminal: its own line breaks kept, while the names in it (a port, a file)
// are escaped in full wherever they occur, so that a line break in a name forges no line.
std::string TerminalMessage(std::string_view text, const std::vector<std::string>& names);
