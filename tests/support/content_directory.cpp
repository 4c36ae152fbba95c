#include "support/content_directory.h"

#include "support/http_client.h"

#include <cstring>
#include <utility>

std::string content_directory_call(int port, const std::string& action,
                                   const std::string& arguments)
{
    const std::string body =
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
        "<s:Body><u:" +
        action + " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">" + arguments +
        "</u:" + action + "></s:Body></s:Envelope>";
    auto answer =
        http_exchange(port, "POST /ContentDirectory/Control HTTP/1.1\r\nSOAPAction: "
                            "\"urn:schemas-upnp-org:service:ContentDirectory:1#" +
                                action + "\"\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n\r\n" + body);
    return answer ? answer->body : "";
}

std::string xml_unescape(std::string text)
{
    for (auto [from, to] : {std::pair{"&lt;", "<"},
                            {"&gt;", ">"},
                            {"&quot;", "\""},
                            {"&apos;", "'"},
                            {"&amp;", "&"}}) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += strlen(to)) {
            text.replace(at, strlen(from), to);
        }
    }
    return text;
}
