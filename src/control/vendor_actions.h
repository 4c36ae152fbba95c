// The actions that players of particular makers call beyond the UPnP AV
// ones: the feature list and bookmarks of Samsung televisions, and the
// registrar service that Xbox consoles and Windows Media Player ask for
// before they browse.
#pragma once

#include "control/xml.h"
#include "db/media_db.h"
#include "http/http_connection.h"

#include <string>

inline constexpr char kRegistrarNs[] = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1";

// The feature list document: the containers of music, pictures and video
// that the player's own audio, photo and video screens start from. Only the
// containers the tree has are listed.
std::string vendor_feature_list(const DbLock& lock);

// ContentDirectory X_GetFeatureList: the feature list, escaped once.
int vendor_get_feature_list(HttpConnection* connection, const XmlElement* body);

// ContentDirectory X_SetBookmark: the position a player keeps for an item.
// Nothing is stored; the player is told it succeeded so that it does not
// report an error when it stops playing.
int vendor_set_bookmark(HttpConnection* connection, const XmlElement* body);

// X_MS_MediaReceiverRegistrar: every player is authorised and validated
// (Result 1), and RegisterDevice succeeds with an empty answer.
int vendor_registrar_is_authorized(HttpConnection* connection, const XmlElement* body);
int vendor_registrar_is_validated(HttpConnection* connection, const XmlElement* body);
int vendor_registrar_register_device(HttpConnection* connection, const XmlElement* body);
