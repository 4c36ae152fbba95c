// Video files enter the tree with what the file system tells of them: no
// reader looks inside. Full edition only.
#pragma once

// Adds a movie item for the file; returns the db_add_item result (1 also
// when the file cannot be stat'ed).
int add_video(const char* path, int compilation);
