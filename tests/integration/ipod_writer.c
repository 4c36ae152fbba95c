/* Writes an iPod database with libgpod, the library players' own software
 * and other tools use: the test's songs, the master list of all of them, and
 * one more playlist holding the songs in the order given.
 *
 * Usage: ipod_writer <out file> <playlist name> <order> <song>...
 *   order: the song numbers (1-based) of the playlist, comma-separated
 *   song:  title|artist|album|genre|track|location
 */
#include <gpod/itdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* field(char** text)
{
    char* start = *text;
    char* bar = strchr(start, '|');
    if (bar) {
        *bar = '\0';
        *text = bar + 1;
    } else {
        *text = start + strlen(start);
    }
    return start;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: ipod_writer <out> <playlist> <order> <song>...\n");
        return 2;
    }
    Itdb_iTunesDB* db = itdb_new();
    Itdb_Playlist* master = itdb_playlist_new("iPod", FALSE);
    itdb_playlist_set_mpl(master);
    itdb_playlist_add(db, master, -1);
    int count = argc - 4;
    Itdb_Track** tracks = calloc((size_t)count, sizeof *tracks);
    for (int i = 0; i < count; ++i) {
        char* spec = strdup(argv[4 + i]);
        char* rest = spec;
        Itdb_Track* t = itdb_track_new();
        t->title = g_strdup(field(&rest));
        t->artist = g_strdup(field(&rest));
        t->album = g_strdup(field(&rest));
        t->genre = g_strdup(field(&rest));
        t->track_nr = atoi(field(&rest));
        t->ipod_path = g_strdup(field(&rest));
        t->filetype = g_strdup("MPEG audio file");
        t->size = 1000 + i;
        t->tracklen = 2000;
        t->bitrate = 128;
        t->year = 2001 + i;
        itdb_track_add(db, t, -1);
        itdb_playlist_add_track(master, t, -1);
        tracks[i] = t;
        free(spec);
    }
    Itdb_Playlist* list = itdb_playlist_new(argv[2], FALSE);
    itdb_playlist_add(db, list, -1);
    char* order = strdup(argv[3]);
    for (char* n = strtok(order, ","); n; n = strtok(NULL, ",")) {
        int k = atoi(n);
        if (k >= 1 && k <= count) {
            itdb_playlist_add_track(list, tracks[k - 1], -1);
        }
    }
    GError* error = NULL;
    if (!itdb_write_file(db, argv[1], &error)) {
        fprintf(stderr, "itdb_write_file: %s\n", error ? error->message : "failed");
        return 1;
    }
    free(order);
    free(tracks);
    itdb_free(db);
    return 0;
}
