#include "webconfig/config_pages.h"

#include "control/clients.h"
#include "core/edition.h"
#include "core/settings.h"
#include "http/html_escape.h"
#include "scan/file_types.h"
#include "webconfig/form_update.h"

#include <optional>

namespace
{

std::string esc(std::string_view text)
{
    return html_escape(text);
}

void page_begin(std::string& p, const char* title)
{
    p += "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
         "<title>";
    p += title;
    p += "</title></head>\n<body background=\"bg-home.gif\"><h2><font face=\"Arial\">";
    p += title;
    p += "</font></h2>\n<table border=\"0\" cellpadding=\"3\" width=\"700\">\n";
}

void page_end(std::string& p)
{
    p += "</table></body></html>\n";
}

void section(std::string& p, const char* heading)
{
    p += "<tr><td colspan=\"2\"><h3><font face=\"Arial\">";
    p += heading;
    p += "</font></h3></td></tr>\n";
}

// A label (written by us) and a value (from the settings or a client).
void value_row(std::string& p, const char* label, std::string_view value)
{
    p += "<tr><td valign=\"top\"><font face=\"Arial\" size=\"2\">";
    p += label;
    p += "</font></td><td><font face=\"Arial\" size=\"2\">";
    p += esc(value);
    p += "</font></td></tr>\n";
}

std::string or_placeholder(int key, const char* placeholder)
{
    const std::string value = setting_str(key);
    return value.empty() ? placeholder : value;
}

// One row per element of a list setting, the placeholder when it has none.
void list_rows(std::string& p, const char* label, int key, const char* placeholder)
{
    const int count = setting_list_count(key);
    int shown = 0;
    for (int i = 0; i < count; ++i) {
        const std::optional<std::string> item = setting_list_item(key, i);
        if (item && !item->empty()) {
            value_row(p, shown == 0 ? label : "", *item);
            ++shown;
        }
    }
    if (shown == 0) {
        value_row(p, label, placeholder);
    }
}

void form_begin(std::string& p, const char* action, const char* heading)
{
    p += "<tr><td colspan=\"2\"><form method=\"POST\" action=\"";
    p += action;
    p += "\"><table border=\"1\" cellpadding=\"3\" width=\"100%\">\n<tr><td colspan=\"2\" "
         "bgcolor=\"#DDE4F0\"><b><font face=\"Arial\">";
    p += heading;
    p += "</font></b></td></tr>\n";
}

void form_end(std::string& p, const char* submit, const char* submit_name = nullptr)
{
    p += "<tr><td></td><td><input type=\"submit\" name=\"";
    p += submit_name ? submit_name : submit;
    p += "\" value=\"";
    p += submit;
    p += "\"> <input type=\"reset\" value=\"reset\"></td></tr>\n</table></form></td></tr>\n";
}

void text_row(std::string& p, const char* label, const char* field)
{
    p += "<tr><td><font face=\"Arial\" size=\"2\">";
    p += label;
    p += "</font></td><td><input type=\"text\" name=\"";
    p += field;
    p += "\" size=\"48\"></td></tr>\n";
}

// A form that sets one value: its current value (or the placeholder) and a
// text field for the new one.
struct SingleValueForm {
    const char* action;
    const char* heading;
    const char* label;
    const char* text_label;
    const char* field;
    const char* submit;
};

void single_value_form(std::string& p, const SingleValueForm& f, std::string_view current)
{
    form_begin(p, f.action, f.heading);
    value_row(p, f.label, current);
    text_row(p, f.text_label, f.field);
    form_end(p, f.submit);
}

void note_row(std::string& p, const char* note)
{
    p += "<tr><td colspan=\"2\"><font face=\"Arial\" size=\"1\">";
    p += note;
    p += "</font></td></tr>\n";
}

// The boxes of a list form: each element with its box "C<index>", ticked.
void checked_list_rows(std::string& p, int key)
{
    const int count = setting_list_count(key);
    for (int i = 0; i < count; ++i) {
        const std::optional<std::string> item = setting_list_item(key, i);
        if (!item || item->empty()) {
            continue;
        }
        p += "<tr><td><input type=\"checkbox\" name=\"C" + std::to_string(i) +
             "\" value=\"ON\" checked></td><td><font face=\"Arial\" size=\"2\">" + esc(*item) +
             "</font></td></tr>\n";
    }
}

void on_off_row(std::string& p, bool on)
{
    p += "<tr><td colspan=\"2\"><font face=\"Arial\" size=\"2\"><input type=\"radio\" "
         "name=\"group1\" value=\"on\"";
    p += on ? " checked" : "";
    p += "> on <input type=\"radio\" name=\"group1\" value=\"off\"";
    p += on ? "" : " checked";
    p += "> off</font></td></tr>\n";
}

// Two rows of a select and an "ascending" box, filled from the sort setting.
void sort_rows(std::string& p, int key)
{
    p += "<tr><td><font face=\"Arial\" size=\"2\">sort by</font></td><td><font face=\"Arial\" "
         "size=\"2\">ascending</font></td></tr>\n";
    for (int row = 0; row < 2; ++row) {
        const std::string element = setting_list_item(key, row).value_or("");
        const bool descending = !element.empty() && element[0] == '-';
        const std::string property = !element.empty() && (element[0] == '+' || element[0] == '-')
                                         ? element.substr(1)
                                         : element;
        p += "<tr><td><select name=\"myselect\">";
        for (int n = 1; n <= 8; ++n) {
            const char* name = form_sort_property(n);
            p += "<option value=\"" + std::to_string(n) + "\"";
            p += property == name ? " SELECTED" : "";
            p += ">";
            p += name;
            p += "</option>";
        }
        p += "</select></td><td><input type=\"checkbox\" name=\"C" + std::to_string(row) +
             "\" value=\"ON\"";
        p += descending ? "" : " checked";
        p += "></td></tr>\n";
    }
}

std::string file_type_list()
{
    std::string list;
    for (const FileTypeRow& t : scan_file_types()) {
        if (!scan_reader(t.reader)) {
            continue; // a type this program does not read
        }
        list += list.empty() ? "" : ", ";
        list += t.extension;
    }
    return list;
}

void upgrade_notice(std::string& p)
{
    section(p, "Upgrade to the full Plenwick");
    p += "<tr><td colspan=\"2\"><font face=\"Arial\" size=\"2\">Tessamund serves music only; it "
         "is a part of the full Plenwick server, which also offers:<ul>"
         "<li>other content types such as pictures and videos</li>"
         "<li>a navigation tree arranged by album, artist and genre as you like it</li>"
         "<li>versions for network attached storage</li>"
         "<li>a server name of your own choice</li>"
         "<li>several server instances on one machine</li></ul>"
         "See <a href=\"http://www.corvalenso.example/\" target=\"_blank\">the Corvalenso web "
         "site</a>.</font></td></tr>\n";
}

} // namespace

std::string configpage_status()
{
    std::string p;
    page_begin(p, "Status");
    form_begin(p, "restartserver", "Restart Server to apply changes");
    form_end(p, "restart server");
    p += "<tr><td colspan=\"2\"><b><font face=\"Arial\">Rescan content directories</font></b> "
         "<a href=\"../rescan\" target=\"_blank\">rescan now</a></td></tr>\n";
    section(p, "general settings");
    value_row(p, "friendly name of the Server", or_placeholder(KEY_FRIENDLYNAME, " -not set -"));
    bool any_client = false;
    for (int i = 0;; ++i) {
        const std::optional<ClientInfo> client = client_entry(i);
        if (!client) {
            break;
        }
        const char* type = client_type_name(client->client_type);
        p += "<tr><td><font face=\"Arial\" size=\"2\">";
        p += any_client ? "" : "connected clients";
        p += "</font></td><td><font face=\"Arial\" size=\"2\">Name=" + esc(type ? type : "") +
             "&nbsp;/&nbsp;IPNumber=" + esc(client->address) + "</font></td></tr>\n";
        any_client = true;
    }
    if (!any_client) {
        value_row(p, "connected clients", "- none -");
    }
    value_row(p, "ini file", settings_file_path());
    value_row(p, "path to store persistence database", or_placeholder(KEY_DBFILE, " -not set -"));
    list_rows(p, "content directories", KEY_CONTENTDIR, "- none -");
    list_rows(p, "ignored directories", KEY_IGNOREDIR, "- none -");
    value_row(p, "supported file types", file_type_list());
    value_row(p, "path to client update file for the Netgear device",
              or_placeholder(KEY_NETGEARUPGRADE, "- none -"));
    value_row(p, "network card binding", or_placeholder(KEY_DEV, "- none preset -"));
    value_row(p, "IP of server to bind to", or_placeholder(KEY_IP, "- no special IP set -"));
    const std::string port = setting_str(KEY_HTTPPORT);
    value_row(p, "Port of HTTP Server set to",
              port.empty() || port == "0" ? "- dynamical allocation -" : port);
    const std::string scantime = setting_str(KEY_SCANTIME);
    value_row(p, "rescan time of content directories",
              scantime.empty() ? " -not set -" : scantime + " min");
    list_rows(p, "default sort behavior", KEY_DS, "- not set -");

    section(p, "music specific settings");
    value_row(p, "randomize playlists",
              setting_flag(KEY_RANDOMIZEPLAYLISTS) ? "- yes -" : "- no -");
    value_row(p, "Internet Radio support",
              setting_flag(KEY_RADIO) ? "- enabled -" : "- disabled -");
    value_row(p, "number of top stations read from shoutcast service",
              "- " + or_placeholder(KEY_NUMRADIOSTATIONS, "none set") + " -");
    value_row(p, "rescan time for radio stations",
              "- " + or_placeholder(KEY_RADIOREREAD, "none set") + " min-");
    list_rows(p, "list of IP numbers from music clients", KEY_MUSICCLIENT, "- none -");
    list_rows(p, "music sort behavior", KEY_MS, "- none set -");
    if (!edition_music_only()) {
        section(p, "image specific settings");
        list_rows(p, "image sort behavior", KEY_PS, "- none -");
        value_row(p, "render EXIF description line into images",
                  setting_flag(KEY_DESCRIPTIONS) ? "- yes -" : "- no -");
    } else {
        upgrade_notice(p);
    }
    page_end(p);
    return p;
}

std::string configpage_general()
{
    std::string p;
    page_begin(p, "General");
    form_begin(p, "directory", "server directories");
    checked_list_rows(p, KEY_CONTENTDIR);
    text_row(p, "add new dir", "set dir");
    note_row(p, "note: set server directories to an empty value if the <br>server shall scan "
                "only the current working directory for contents");
    note_row(p, "note: content dir can be prepended by M| or P| or V| <br>to strictly allow "
                "only music, pictures or video content for a specific folder tree.");
    note_row(p, "sample:  contentdir=M|c:\\My Music,P|c:\\My Pictures,V|c:\\My Videos");
    form_end(p, "set dir", "submit");

    form_begin(p, "friendlyname", "Friendly server name");
    p += "<tr><td><font face=\"Arial\" size=\"2\"><input type=\"checkbox\" name=\"C1\" "
         "value=\"ON\"> name</font></td><td><font face=\"Arial\" size=\"2\">" +
         esc(or_placeholder(KEY_FRIENDLYNAME, "- none given-")) + "</font></td></tr>\n";
    text_row(p, "change name to", "friendlyname");
    form_end(p, "set name");

    single_value_form(p,
                      {"dbfile", "Path to store persistence database", "path", "change name to",
                       "dbfile", "set path"},
                      or_placeholder(KEY_DBFILE, "- not set-"));

    form_begin(p, "ignoreddirs", "ignored server directories");
    checked_list_rows(p, KEY_IGNOREDIR);
    text_row(p, "add new dir", "set dir");
    form_end(p, "set dir", "submit");

    form_begin(p, "netconfig", "server network binding");
    p += "<tr><td><font face=\"Arial\" size=\"2\"><input type=\"checkbox\" name=\"C1\" "
         "value=\"ON\"> current network device</font></td><td><font face=\"Arial\" size=\"2\">" +
         esc(or_placeholder(KEY_DEV, "- no restrictions -")) + "</font></td></tr>\n";
    text_row(p, "change network device to", "networkcard");
    p += "<tr><td><font face=\"Arial\" size=\"2\"><input type=\"checkbox\" name=\"C2\" "
         "value=\"ON\"> restrict to IP</font></td><td><font face=\"Arial\" size=\"2\">" +
         esc(setting_str(KEY_IP)) + "</font></td></tr>\n";
    text_row(p, "change IP to", "serverip");
    form_end(p, "set netconfig");

    const std::string port = setting_str(KEY_HTTPPORT);
    single_value_form(p,
                      {"httpport", "HTTP Server Port", "Port", "set Port to", "port", "set port"},
                      port.empty() || port == "0" ? "- set to dynamical allocation -" : port);

    single_value_form(p,
                      {"dirrescan", "Dir rescan time", "rescan time (min)", "set time to",
                       "scantime", "set time"},
                      or_placeholder(KEY_SCANTIME, "- none given -"));

    form_begin(p, "defaultsort", "default sort order");
    sort_rows(p, KEY_DS);
    form_end(p, "set default sort order");

    single_value_form(p,
                      {"netgearupdate", "Netgear update file", "file path", "change path to",
                       "pathtext", "set path"},
                      setting_str(KEY_NETGEARUPGRADE));
    page_end(p);
    return p;
}

std::string configpage_music()
{
    std::string p;
    page_begin(p, "Music");
    form_begin(p, "randomplay", "randomize .m3u playlists");
    on_off_row(p, setting_flag(KEY_RANDOMIZEPLAYLISTS));
    form_end(p, "set randomize");

    form_begin(p, "radiosupport", "Internet Radio support");
    on_off_row(p, setting_flag(KEY_RADIO));
    form_end(p, "set radiosupport");

    single_value_form(p,
                      {"radiostationnum", "Number of top stations", "number", "set number to",
                       "number", "set number"},
                      or_placeholder(KEY_NUMRADIOSTATIONS, "- no number set -"));

    single_value_form(p,
                      {"radiorescantime", "Radio rescan time", "rescan time (min)", "set time to",
                       "time", "set rescan time"},
                      or_placeholder(KEY_RADIOREREAD, "- no rescan time set -"));

    form_begin(p, "mclients", "list of music only clients");
    note_row(p, "known music clients");
    checked_list_rows(p, KEY_MUSICCLIENT);
    text_row(p, "add new music client", "newclient");
    form_end(p, "set music client");

    form_begin(p, "msort", "music sort order");
    sort_rows(p, KEY_MS);
    form_end(p, "set music order");
    page_end(p);
    return p;
}

std::string configpage_image()
{
    std::string p;
    page_begin(p, "Image");
    form_begin(p, "psort", "picture sort order");
    sort_rows(p, KEY_PS);
    form_end(p, "set image order");

    form_begin(p, "renderexif", "render image descriptions");
    on_off_row(p, setting_flag(KEY_DESCRIPTIONS));
    form_end(p, "set rendersupport");
    page_end(p);
    return p;
}

std::string configpage_foreign_host(std::string_view base_url)
{
    std::string page = "<html><head><title>Plenwick configuration</title></head><body><p>The "
                       "configuration pages open only by this server's own address: <a href=\"";
    html_escape_append(page, base_url);
    page += "configpage/index.htm\">";
    html_escape_append(page, base_url);
    page += "configpage/index.htm</a></p></body></html>\n";
    return page;
}

std::string configpage_restricted()
{
    return "<html><head><title>Plenwick Restriced Access</title></head><body "
           "bgcolor=\"#FF0000\"><p align=\"center\"><b><font size=\"5\">Access is restricted to "
           "Plenwick configuration!</font></b></p></body></html>\n";
}
