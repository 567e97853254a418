#pragma once
// Text read from a medium (file and folder names, volume labels) as it may be shown on a
// terminal. A name on a card can hold anything, escape sequences included; printed raw it
// could retitle the window, move the cursor or hide lines.

#include <string>
#include <string_view>

namespace norvale::cli {

// `s` with every character a terminal would act on made visible: C0 controls as "\n", "\r",
// "\t" or "\x1b", DEL as "\x7f", the C1 controls U+0080..U+009F as "\u009b", and each byte
// that does not belong to valid UTF-8 as "\xff". Printable text, backslashes included, is kept
// as it is. JSON output has its own escaping and does not use this.
std::string TerminalText(std::string_view s);

}  // namespace norvale::cli
