// The four generated configuration pages: Status, General, Music and Image.
// Each reads the settings and the client table when it is built; every
// value shown is escaped, and every form posts to its action name below
// "/configpage/".
#pragma once

#include <string>

std::string configpage_status();
std::string configpage_general();
std::string configpage_music();
std::string configpage_image();

// The page of a client whose access the "enableweb" setting forbids.
std::string configpage_restricted();
