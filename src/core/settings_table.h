// The one row of every setting: its name, kind, default, range and the
// comment the settings file documents it with, and the order in which the
// file carries them.
#pragma once

#include "core/settings.h"

#include <array>
#include <span>

enum class SettingKind {
    Text,
    List,   // comma-separated items
    Number, // read by atoi rules, within [min, max]
};

struct SettingRow {
    int key; // a SettingKey
    const char* name;
    SettingKind kind;
    const char* default_value; // null: unset
    int min;                   // the range of a Number
    int max;
    // The comment lines written before this key in the settings file: the
    // first key of a group carries the group's comment, the others null.
    const char* comment;
};

// Row i holds key i.
extern const std::array<SettingRow, KEY_COUNT> kSettingRows;

// The lines that open the settings file.
inline constexpr char kSettingsFileHeader[] =
    "# Corvalenso ini file\n"
    "# change settings by commandline or by editing this file\n";

// The keys the settings file carries, in the order it carries them; the
// others (the stored-only ones, "v" and "D") are never written.
std::span<const int> settings_file_order();
