#pragma once

namespace mirl {

// True when the volume of the open `folder` has no free block left.
bool VolumeFull(int folder);

struct PadResult {
    bool padded = false; // the record's end was written over
    int error = 0;       // the device or driver failed (errno); the attribute may have stayed
};

// NTFS keeps a small folder's index in the folder's own file record, and the names of deleted
// entries in the record's unused end. A user attribute of the folder, which ntfs-3g keeps as a named
// stream in the record while it fits, is made as large as the record takes and removed again: the
// record's end is written over; the folder's entries and its modification time stay (its change
// time does not). Only where neither a free cluster nor a free record of the file table is left:
// there one byte too many is refused, where otherwise ntfs-3g would move the stream, or in a nearly
// full record other attributes, out of the record for good. Not padded, and no error, where the
// driver keeps no user attributes, this user may not set one, or the folder has one of that name.
PadResult PadFolderRecord(int folder);

} // namespace mirl
