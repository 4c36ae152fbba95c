#include "http/http_origin.h"

#include "core/log.h"
#include "core/text_util.h"

#include <string>
#include <unistd.h>

namespace
{

constexpr std::string_view kHttpScheme = "http://";

// The "address:port" of a base URL "http://address:port/".
std::string_view listener_authority(std::string_view base_url)
{
    if (!starts_with_nocase(base_url, kHttpScheme)) {
        return {};
    }
    std::string_view rest = base_url.substr(kHttpScheme.size());
    return rest.substr(0, rest.find('/'));
}

// Whether host is name, alone or followed by ":port".
bool is_name_with_port(std::string_view host, std::string_view name, std::string_view port)
{
    if (name.empty() || !starts_with_nocase(host, name)) {
        return false;
    }
    const std::string_view after = host.substr(name.size());
    return after.empty() ||
           (after.size() == port.size() + 1 && after[0] == ':' && after.substr(1) == port);
}

// Whether a host name (with or without port) is one of the listener's own.
// The machine's own name is resolved by the home network's name service or
// multicast DNS, never by a name server of another site, so a page cannot
// be made to come from it.
bool is_own_host(std::string_view authority, std::string_view host, std::string_view machine)
{
    if (authority.empty() || host.empty()) {
        return false;
    }
    const size_t colon = authority.rfind(':');
    const std::string_view address = authority.substr(0, colon);
    const std::string_view port =
        colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    if (host == authority || host == address) {
        return true;
    }
    if (!machine.empty()) {
        const std::string mdns = std::string(machine) + ".local";
        if (is_name_with_port(host, machine, port) || is_name_with_port(host, mdns, port)) {
            return true;
        }
    }
    // A browser on the server's own machine may name it "localhost"; no
    // other machine reaches a loopback listener.
    return address.substr(0, 4) == "127." && is_name_with_port(host, "localhost", port);
}

// The host part of an "http://host[:port]..." text; nothing for another
// scheme.
bool url_host(std::string_view url, std::string_view& host)
{
    if (!starts_with_nocase(url, kHttpScheme)) {
        return false;
    }
    std::string_view rest = url.substr(kHttpScheme.size());
    host = rest.substr(0, rest.find_first_of("/?#"));
    return true;
}

std::string machine_host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

} // namespace

bool http_origin_is_own(std::string_view base_url, const OriginFields& fields)
{
    const std::string_view authority = listener_authority(base_url);
    const std::string_view m = fields.machine_name;
    if (fields.has_host && !is_own_host(authority, fields.host, m)) {
        return false;
    }
    std::string_view host;
    if (fields.has_origin && (!url_host(fields.origin, host) ||
                              host.size() + kHttpScheme.size() != fields.origin.size() ||
                              !is_own_host(authority, host, m))) {
        return false;
    }
    if (fields.has_referer &&
        (!url_host(fields.referer, host) || !is_own_host(authority, host, m))) {
        return false;
    }
    return true;
}

namespace
{

bool request_is_own(const HttpConnection* c, bool host_only)
{
    const std::string machine = machine_host_name();
    OriginFields fields;
    fields.machine_name = machine;
    fields.has_host = http_has_header(c, HttpField::Host);
    fields.host = http_header(c, HttpField::Host);
    if (!host_only) {
        fields.has_origin = http_has_header(c, HttpField::Origin);
        fields.origin = http_header(c, HttpField::Origin);
        fields.has_referer = http_has_header(c, HttpField::Referer);
        fields.referer = http_header(c, HttpField::Referer);
    }
    if (http_origin_is_own(c->base_url.data(), fields)) {
        return true;
    }
    log_msg(LOG_ERROR, LOG_CAT_HTTP,
            "refused %s from %s: Host \"%.*s\", Origin \"%.*s\", Referer \"%.*s\" not this "
            "server\n",
            c->url.data(), c->client_ip.data(), static_cast<int>(fields.host.size()),
            fields.host.data(), static_cast<int>(fields.origin.size()), fields.origin.data(),
            static_cast<int>(fields.referer.size()), fields.referer.data());
    return false;
}

} // namespace

bool http_request_is_own_origin(const HttpConnection* c)
{
    return request_is_own(c, false);
}

bool http_request_host_is_own(const HttpConnection* c)
{
    return request_is_own(c, true);
}
