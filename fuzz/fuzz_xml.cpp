// The XML reader, the entity decoder and the DIDL encoder on arbitrary bytes.
#include "control/xml.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    XmlTree tree = xml_parse(text.c_str());
    if (tree) {
        xml_find(tree.get(), "ObjectID");
        xml_attribute(tree.get(), "id");
        xml_text(tree.get(), "Filter");
    }
    std::string decoded = text;
    xml_decode_entities(decoded);
    xml_escape_for_didl(text, true);
    return 0;
}
