// The actions of both services behind the SOAP dispatch: the fixed answers
// of ConnectionManager, the capabilities, the system update id, UpdateObject,
// the argument checks of Browse, X_BrowseByLetter and PrepareForConnection,
// and the optional actions this server does not offer.
#pragma once

#include "control/soap.h"

// Runs the handler of an action with the parsed body (null when there was
// none); the handler sends the answer. 0 when it was sent, else 1.
int soap_dispatch(HttpConnection* connection, SoapAction action, const XmlElement* body);

// Constants of the answers.
inline constexpr char kSortCapabilities[] =
    "dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:originalTrackNumber,res";
inline constexpr char kSearchCapabilities[] =
    "dc:source,dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
    "upnp:originalTrackNumber,upnp:class,@id,@parentID,@refID,res,upnp:albumArtURI";

// UpdateObject: one property of an item, guarded by its present value.
int update_object(HttpConnection* connection, const XmlElement* body);
