// A media tree built from the default settings over files in a temporary
// directory, and helpers to look at it.
#pragma once

#include "core/settings.h"
#include "db/db_internal.h"
#include "db/media_db.h"
#include "db/persistence.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// The tree as a restart gives it back: written as the library file's text,
// destroyed and read again. The number of records read.
inline int db_restart_through_persistence()
{
    PersistenceReader saved;
    saved.buffer = persistence_text();
    saved.end_of_file = true;
    db_destroy();
    db_create();
    return persistence_read_records(saved, nullptr);
}

class DbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings_free_all();
        settings_apply_defaults();
        setting_set(KEY_CONTENTDIR, "M|" + dir.path);
    }
    void TearDown() override
    {
        db_destroy();
        settings_free_all();
        settings_apply_defaults();
    }

    // Creates the file (empty) and returns its path.
    std::string file(const std::string& name)
    {
        const std::string path = dir.file(name);
        const size_t slash = path.rfind('/');
        std::filesystem::create_directories(path.substr(0, slash));
        write_text_file(path, "x");
        return path;
    }

    int add_music(const std::string& path, const char* title, const char* artist, const char* album,
                  int track = 0, int mtime = 1, const char* playlist = nullptr,
                  const char* genre = "Rock", const char* date = "2001-02-03")
    {
        DbItemFields f;
        f.title = title;
        f.upnp_class = "object.item.audioItem.musicTrack";
        f.artist = artist;
        f.album = album;
        f.genre = genre;
        f.date = date;
        f.path = path.c_str();
        f.duration = "0:03:00.000";
        f.track = track;
        f.mtime = mtime;
        f.bitrate = 128000;
        f.playlist = playlist;
        return db_add_item(f);
    }

    // The container reached by following titles from a start container.
    static DbContainer* at(const DbLock& lock, DbContainer* from, std::vector<std::string> titles)
    {
        DbContainer* c = from;
        for (const std::string& t : titles) {
            c = db_find_child(lock, c, t);
            if (!c) {
                return nullptr;
            }
        }
        return c;
    }

    // Titles of the children in list order (items and references by their
    // item's title).
    static std::vector<std::string> titles(const DbLock& lock, const DbContainer* c)
    {
        std::vector<std::string> out;
        for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
            if (DbContainer* child = db_as_container(n)) {
                out.push_back(child->title.get());
            } else if (DbItem* item = db_target_item(lock, n)) {
                out.push_back(item->title ? item->title.get() : "(null)");
            }
        }
        return out;
    }

    static DbItem* item_by_path(const DbLock& lock, const std::string& path)
    {
        return db_find_item_for_class(lock, path, kClassMusicTrack);
    }

    TempDir dir;
};
