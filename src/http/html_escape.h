// Text put into an HTML page. Every page the server writes goes through this
// one escaper (the not-found page, the play status page, the configuration
// pages), so that no URL, tag title or setting a client or a file supplies
// can add markup or script to a page.
#pragma once

#include <string>
#include <string_view>

// Appends text with &, <, >, " and ' written as character references, and
// without the characters an HTML or XML document may not hold: the control
// bytes below 0x20 other than tab, line feed and carriage return, DEL, and
// the C1 controls (U+0080 to U+009F in UTF-8). Text is UTF-8: other
// characters pass unchanged, and bytes that are not UTF-8 become U+FFFD.
void html_escape_append(std::string& out, std::string_view text);

std::string html_escape(std::string_view text);
