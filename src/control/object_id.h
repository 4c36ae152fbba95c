// The ObjectID of a Browse or Search as the requesting client means it: what
// the client's request tells about the client is recorded here, and the tree
// resolves the text with what was learned.
#pragma once

#include "db/db_node.h"

// The numeric id the ObjectID text names for the client at address. A
// request for "0\Music\" marks the client as a D-Link DSM320, whose firmware
// is the one that asks for it; "0" from a music client starts at the music
// root.
NodeId control_resolve_object_id(const char* object_id, const char* client_address);
