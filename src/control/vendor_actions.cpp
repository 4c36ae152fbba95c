#include "control/vendor_actions.h"

#include "control/soap.h"
#include "http/html_escape.h"

namespace
{

void append_container(std::string& doc, const DbContainer* c, const char* item_class)
{
    if (c) {
        doc += "<container id=\"" + std::to_string(c->id) + "\" type=\"" + item_class + "\"/>";
    }
}

} // namespace

std::string vendor_feature_list(const DbLock& lock)
{
    const MediaDb& db = db_tree(lock);
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                      "<Features xmlns=\"urn:schemas-upnp-org:av:avs\" "
                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xsi:schemaLocation=\"urn:schemas-upnp-org:av:avs "
                      "http://www.upnp.org/schemas/av/avs.xsd\">"
                      "<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">";
    append_container(doc, db.music_root, "object.item.audioItem");
    append_container(doc, db.video_root, "object.item.videoItem");
    append_container(doc, db.picture_root, "object.item.imageItem");
    doc += "</Feature></Features>";
    return doc;
}

int vendor_get_feature_list(HttpConnection* c, const XmlElement*)
{
    std::string list;
    {
        DbLock lock = db_lock();
        list = vendor_feature_list(lock);
    }
    // The document travels as the text of one argument: escaped once.
    return soap_send_response(c, "X_GetFeatureList", kContentDirectoryNs,
                              "<FeatureList>" + html_escape(list) + "</FeatureList>");
}

int vendor_set_bookmark(HttpConnection* c, const XmlElement*)
{
    return soap_send_response(c, "X_SetBookmark", kContentDirectoryNs, "");
}

int vendor_registrar_is_authorized(HttpConnection* c, const XmlElement*)
{
    return soap_send_response(c, "IsAuthorized", kRegistrarNs, "<Result>1</Result>");
}

int vendor_registrar_is_validated(HttpConnection* c, const XmlElement*)
{
    return soap_send_response(c, "IsValidated", kRegistrarNs, "<Result>1</Result>");
}

int vendor_registrar_register_device(HttpConnection* c, const XmlElement*)
{
    return soap_send_response(c, "RegisterDevice", kRegistrarNs,
                              "<RegistrationRespMsg></RegistrationRespMsg>");
}
