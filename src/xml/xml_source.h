// The text an XML document is parsed from.
//
// A document that names UTF-8 as its encoding, or names none, is converted
// to the system ANSI code page; any other is taken byte for byte. Comments
// go, the first style-sheet instruction goes, and tabs and line breaks
// become blanks, so the parser sees one line of ANSI text. Every pass is
// linear in the size of the text: documents run to hundreds of megabytes.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

inline constexpr std::string_view kXmlCommentOpen = "<!--";
inline constexpr std::string_view kXmlCommentClose = "-->";

// True when the first 100 characters name UTF-8 in quotes, or never
// mention an encoding.
bool IsUtf8XmlText(std::string_view text);

// `text` ready for the parser. Text that claims UTF-8 but is not valid
// UTF-8 gives an empty string.
std::string PrepareXmlSource(std::string_view text);

// Deletes every "<!--" with the first "-->" after it and what lies between.
// A "<!--" that nothing closes stays, and so does everything after it.
void RemoveXmlComments(std::string& text);

}  // namespace zuntar
