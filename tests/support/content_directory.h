// ContentDirectory actions of a running server over loopback, for the
// integration tests that walk what it hands out.
#pragma once

#include <string>

// The answer body of the action with the argument elements, "" when there
// is no answer.
std::string content_directory_call(int port, const std::string& action,
                                   const std::string& arguments);

// Undoes one level of XML escaping (the DIDL-Lite of a result is escaped
// once inside the SOAP answer, and its own texts once more).
std::string xml_unescape(std::string text);
