#pragma once

namespace mirl {

// NTFS keeps a small folder's index in the folder's own file record, and the names of deleted
// entries in the record's unused end. A user attribute of the folder, which ntfs-3g keeps as a named
// stream in the record while it fits, is made as large as the record takes and removed again: the
// record's end is written over, the folder's entries and times stay (but for its change time, which
// no call sets). Only on a full volume: there one byte too many is refused, where with room ntfs-3g
// would move the stream, or in a nearly full record other attributes, out of the record for good.
// True when the end was written over; false where the volume has room, the driver keeps no user
// attributes, or this user may not set one.
bool PadFolderRecord(int folder);

} // namespace mirl
