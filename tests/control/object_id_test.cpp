#include "control/clients.h"
#include "control/object_id.h"
#include "db/db_fixture.h"

namespace
{

using ObjectId = DbTest;

// What an ObjectID tells about the client is recorded before the tree
// resolves it: "0\Music\" is asked only by D-Link firmware, and "0" starts a
// music client at the music root.
TEST_F(ObjectId, ClientsLearnedFromTheirObjectIds)
{
    setting_set(KEY_DLINKCLIENT, "10.0.0.9");
    setting_set(KEY_MUSICCLIENT, "10.0.0.7");
    client_table_clear();
    db_create();
    NodeId music;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root->id;
    }
    EXPECT_EQ(control_resolve_object_id("0\\Music\\", "10.0.0.9"), music);
    EXPECT_EQ(client_type_of("10.0.0.9"), 2);
    EXPECT_EQ(control_resolve_object_id("0\\Music\\", "10.0.0.8"), music);
    EXPECT_EQ(client_type_of("10.0.0.8"), 0) << "an unconfirmed D-Link guess is stored as generic";
    EXPECT_EQ(control_resolve_object_id("0", "10.0.0.7"), music);
    EXPECT_EQ(control_resolve_object_id("0", "10.0.0.1"), 0);
    EXPECT_EQ(control_resolve_object_id("42", "10.0.0.1"), 42);
    EXPECT_EQ(control_resolve_object_id("42abc", "10.0.0.1"), kNoNode) << "no object id";
    EXPECT_EQ(control_resolve_object_id(nullptr, nullptr), kNoNode);
    client_table_clear();
}

} // namespace
