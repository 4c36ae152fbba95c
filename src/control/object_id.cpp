#include "control/object_id.h"

#include "control/clients.h"
#include "db/media_db.h"

#include <cstring>

NodeId control_resolve_object_id(const char* object_id, const char* client_address)
{
    const char* address = client_address ? client_address : "";
    if (object_id && strcmp(object_id, "0\\Music\\") == 0) {
        client_register(2, address);
    }
    return db_resolve_object_id(object_id, client_is_music_client(address));
}
