// Reading the configuration forms: the fields of a URL-encoded POST body and
// the rules by which each kind of form turns them into a setting's new value.
// The rules are pure (body and current value in, new value out), so that
// they can be checked without a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The text after the first start key that begins a field (at the body's
// start or after a '&') up to the first end key after it, or to the end of
// the body; nothing when the start key is missing or the text is empty. The
// text is returned as sent (not decoded).
std::optional<std::string> form_field(std::string_view body, std::string_view start,
                                      std::string_view end);

// A field value URL-decoded ('+' a blank, "%xy" a byte) with blanks at
// either end removed: a field left blank arrives as "+" and clears the
// setting.
std::string form_value(std::string_view raw);

// Single value: the decoded field, or the empty value when it is missing.
std::string form_single_value(std::string_view body, std::string_view start, std::string_view end);

// On/off radio group "group1": "1" when its value is "on", else "0".
std::string form_on_off(std::string_view body);

// List: each element of current (comma-separated) is kept when its box
// "C<index>=" was sent, and the decoded new entry (field new_start ...
// new_end) is appended when not empty. Kept elements are not decoded again:
// a directory named "AC+DC" or "100%" stays as it is.
std::string form_list_update(std::string_view current, std::string_view body,
                             std::string_view new_start, std::string_view new_end);

// Sort: two rows of a select "myselect" (1 "dc:title" ... 8 "res") and a
// box "C0" or "C1" (ascending), as "+dc:title,-upnp:album". A row whose
// select names no property is left out.
std::string form_sort_update(std::string_view body);

// The property a sort select number names, or null.
const char* form_sort_property(int number);

// Two values kept by their boxes: each comes from its field, and a blank
// field empties it unless its keep box ("C1" for the first, "C2" for the
// second) was sent. The network binding is the fields "networkcard" and
// "serverip" ("dev" and "ip"), the photo catalogue "adobedsn" and
// "adobedbpath".
struct FormPair {
    std::string first;
    std::string second;
};
FormPair form_kept_pair(std::string_view body, std::string_view first_field,
                        std::string_view second_field, std::string_view current_first,
                        std::string_view current_second);
