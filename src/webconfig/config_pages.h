// The four generated configuration pages: Status, General, Music and Image.
// Each reads the settings and the client table when it is built; every
// value shown is escaped, and every form posts to its action name below
// "/configpage/".
#pragma once

#include <string>
#include <string_view>

std::string configpage_status();
std::string configpage_general();
std::string configpage_music();
std::string configpage_image();

// The page of a client whose access the "enableweb" setting forbids.
std::string configpage_restricted();

// The page for a request that named the server by a foreign name: a link to
// the pages under the listener's own base URL.
std::string configpage_foreign_host(std::string_view base_url);
