// DIDL-Lite for one node of the media tree: its container or item element,
// as the requesting client wants it (the Filter, the client's picture sizes
// and quirks), with the URLs under which the server delivers the media. The
// markup is written escaped once and every value twice, since the document
// travels as text inside the SOAP Result element.
#pragma once

#include "core/strbuf.h"
#include "db/media_db.h"
#include "http/http_connection.h"

// Whether the Filter asks for a property (named without its namespace): a
// null filter or one starting with "*" wants everything; otherwise the name
// must occur followed by a byte below 33, a ',' or a '@'.
bool didl_filter_wants(const char* filter, const char* property);

// Appends "&lt;name attributes&gt;value&lt;/name&gt;", the value escaped
// (an absent or unencodable value leaves the element empty).
void xml_didl_element(StrBuf& out, const char* name, const char* attributes, const char* value,
                      bool utf8);

// Appends the element of a container, an item, or a reference (shown as its
// item, with its own id); other nodes append nothing.
StrBuf& didl_render_object(const DbLock& lock, StrBuf& out, const DbNode* node, const char* filter,
                           const HttpConnection* connection);

// The resources of a picture, by the client's type.
void didl_picture_resources(StrBuf& out, const DbItem* item, NodeId id,
                            const HttpConnection* connection);
void didl_picture_res(StrBuf& out, const HttpConnection* connection, NodeId id, int width,
                      int height, int mode, const char* profile, const char* suffix);
