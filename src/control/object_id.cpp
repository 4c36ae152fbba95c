#include "control/object_id.h"

#include "control/clients.h"
#include "db/media_db.h"

NodeId control_resolve_object_id(const char* object_id, const char* client_address)
{
    const char* address = client_address ? client_address : "";
    client_recognise_object_id(object_id, address);
    return db_resolve_object_id(object_id, client_is_music_client(address));
}
