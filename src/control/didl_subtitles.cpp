#include "control/didl_subtitles.h"

#include "control/clients.h"
#include "control/didl.h"
#include "http/subtitle_types.h"

#include <string>

bool didl_sends_subtitles(ClientType client)
{
    return client_gets_dlna_fields(client);
}

bool didl_writes_caption_info(ClientType client)
{
    return client_quirks(client).caption_info;
}

void didl_subtitle_resources(StrBuf& out, const DbItem* item, NodeId id, const char* base,
                             bool caption_info, bool utf8)
{
    if (item->subtitle.empty()) {
        return;
    }
    const SubtitleType* type = subtitle_type_of(item->subtitle.get());
    if (!type) {
        return;
    }
    const std::string url = subtitle_url(base, id, *type);
    const std::string protocol = std::string(" protocolInfo=\"http-get:*:") + type->mime + ":*\"";
    xml_didl_element(out, "res", protocol.c_str(), url.c_str(), utf8);
    if (caption_info) {
        const std::string attributes = std::string(" sec:type=\"") + type->caption_type +
                                       "\" xmlns:sec=\"http://www.sec.co.kr/\"";
        xml_didl_element(out, "sec:CaptionInfoEx", attributes.c_str(), url.c_str(), utf8);
    }
}
