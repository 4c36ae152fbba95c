// The sidecar subtitle of a video in its DIDL-Lite item: a resource of the
// subtitle's own type after the video's, and for the televisions that look
// for it there, the caption element of their own namespace naming the same
// URL.
#pragma once

#include "control/clients.h"
#include "core/strbuf.h"
#include "db/media_db.h"

// Whether a client type is offered subtitle resources: the generic type and
// today's players. The fixed types keep the listing they were built for,
// where an unknown resource might be taken for the video.
bool didl_sends_subtitles(ClientType client);

// Whether a client type gets the sec:CaptionInfoEx element. The DIDL-Lite
// schema allows no element of another namespace directly in an item, so a
// strict reader (the generic type may be one) refuses a listing with it; it
// goes only to the players whose quirks ask for it.
bool didl_writes_caption_info(ClientType client);

// Appends the subtitle resource of the item (nothing when it has none), and
// with caption_info the caption element.
void didl_subtitle_resources(StrBuf& out, const DbItem* item, NodeId id, const char* base,
                             bool caption_info, bool utf8);
