// The actions of both services behind the SOAP dispatch: the fixed answers
// of ConnectionManager, the capabilities, the system update id, UpdateObject,
// the argument checks of Browse, X_BrowseByLetter and PrepareForConnection,
// and the optional actions this server does not offer.
#pragma once

#include "control/soap.h"

#include <span>

// Every action of both services, one row each: the actions of the service
// descriptions, and those that players of other makers call although no
// description offers them.
std::span<const SoapActionRow> soap_actions();

// Constants of the answers.
inline constexpr char kSortCapabilities[] =
    "dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:originalTrackNumber,res";
inline constexpr char kSearchCapabilities[] =
    "dc:source,dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
    "upnp:originalTrackNumber,upnp:class,@id,@parentID,@refID,res,upnp:albumArtURI";

// UpdateObject: one property of an item, guarded by its present value.
int update_object(HttpConnection* connection, const XmlElement* body);
