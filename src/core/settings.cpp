#include "core/settings.h"

#include "core/log.h"
#include "core/settings_table.h"

#include <array>
#include <atomic>
#include <cctype>
#include <mutex>
#include <vector>

namespace
{

struct Entry {
    std::string value; // empty = unset
    std::vector<std::string> items;
};

struct Table {
    std::mutex lock;
    std::array<Entry, KEY_COUNT> entries;
};

// Never destroyed: workers may still read settings while the process exits.
Table& table()
{
    static auto* t = new Table;
    return *t;
}

std::atomic<int> g_log_mask{0};
std::atomic<unsigned> g_generation{0};

bool valid_key(int key)
{
    return key >= 0 && key < KEY_COUNT;
}

// C atoi: leading white space, an optional sign, digits; the rest is ignored.
int atoi_rule(const std::string& s)
{
    size_t i = 0;
    while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    long long n = 0;
    for (; i < s.size() && isdigit(static_cast<unsigned char>(s[i])); ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > 2147483648LL) {
            n = 2147483648LL; // saturate instead of overflowing
        }
    }
    n = negative ? -n : n;
    if (n > 2147483647LL) {
        n = 2147483647LL;
    }
    return static_cast<int>(n);
}

std::vector<std::string> split_items(std::string_view value)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) {
            items.emplace_back(value.substr(start));
            return items;
        }
        items.emplace_back(value.substr(start, comma - start));
        start = comma + 1;
    }
}

} // namespace

std::string setting_str(int key)
{
    if (!valid_key(key)) {
        return {};
    }
    Table& t = table();
    std::lock_guard guard(t.lock);
    return t.entries[key].value;
}

int setting_int(int key)
{
    return atoi_rule(setting_str(key));
}

int setting_flag(int key)
{
    return setting_int(key) != 0 ? 1 : 0;
}

std::optional<std::string> setting_list_item(int key, int i)
{
    if (!valid_key(key) || i < 0) {
        return std::nullopt;
    }
    Table& t = table();
    std::lock_guard guard(t.lock);
    const Entry& e = t.entries[key];
    if (static_cast<size_t>(i) >= e.items.size()) {
        return std::nullopt;
    }
    return e.items[i];
}

int setting_list_count(int key)
{
    if (!valid_key(key)) {
        return 0;
    }
    Table& t = table();
    std::lock_guard guard(t.lock);
    return static_cast<int>(t.entries[key].items.size());
}

const char* setting_name(int key)
{
    return valid_key(key) ? kSettingRows[key].name : nullptr;
}

bool setting_is_list(int key)
{
    return valid_key(key) && (kSettingRows[key].kind == SettingKind::List);
}

int setting_key_by_name(std::string_view name)
{
    for (int key = 0; key < KEY_COUNT; ++key) {
        std::string_view candidate = kSettingRows[key].name;
        if (candidate.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = tolower(static_cast<unsigned char>(name[i])) ==
                   tolower(static_cast<unsigned char>(candidate[i]));
        }
        if (same) {
            return key;
        }
    }
    return -1;
}

void setting_set(int key, std::string_view value)
{
    if (!valid_key(key)) {
        return;
    }
    if (value.size() > kSettingValueMax) {
        log_msg(LOG_ERROR, LOG_CAT_SYSTEM,
                "the value of setting \"%s\" is longer than %zu characters and is not taken\n",
                kSettingRows[key].name, kSettingValueMax);
        return;
    }
    Entry fresh;
    // A value is one line of the settings file: a line break in a value from
    // the command line or a form would write a setting of its own. Tabs
    // become blanks and other control bytes are dropped.
    std::string clean;
    clean.reserve(value.size());
    for (char ch : value) {
        if (ch == '\t') {
            clean += ' ';
        } else if (static_cast<unsigned char>(ch) >= 0x20) {
            clean += ch;
        }
    }
    value = clean;
    if (!value.empty()) {
        fresh.value = std::string(value);
        if ((kSettingRows[key].kind == SettingKind::List)) {
            fresh.items = split_items(value);
        }
    }
    Table& t = table();
    std::lock_guard guard(t.lock);
    if (key == KEY_V) {
        g_log_mask = atoi_rule(fresh.value);
    }
    t.entries[key] = std::move(fresh);
    ++g_generation;
}

void setting_set_by_name(std::string_view name, std::string_view value)
{
    int key = setting_key_by_name(name);
    if (key >= 0) {
        setting_set(key, value);
    }
}

void settings_free_all()
{
    for (int key = 0; key < KEY_COUNT; ++key) {
        setting_set(key, {});
    }
}

unsigned settings_generation()
{
    return g_generation.load();
}

int settings_log_mask()
{
    return g_log_mask.load(std::memory_order_relaxed);
}
