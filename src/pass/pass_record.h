#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// The pass's record of every file, further name and folder it makes, kept next to the run log
// ("Mirl.pass") while it works, so that what a killed run left behind is known by more than its
// name: by the folder it lies in, its inode, its birth time and its kind. A user's file that merely
// looks like a pass file is never in it, and so never removed.

// At a run's start: takes what earlier runs left in the record in `folder` (the run log's; "" for
// none), and notes this run's from now on.
void OpenPassRecord(const std::string& folder);

// Notes an entry just made: `path` relative to the open folder `folder` (a name, or for a folder
// made deeper, a path).
void NotePassEntry(int folder, const std::string& path);

// The user attribute that the pass sets on a folder for a moment (ntfs_record_pad.h).
constexpr const char* PassAttribute = "user.mirl-pass";

// Notes, before the pass first sets its attribute on the open `folder`, that it may carry it: a run
// killed meanwhile leaves it, and the next takes it away again.
void NotePassAttribute(int folder);

// Takes away the pass attribute that a killed run left on the open `folder`, as its record says;
// false where the record doesn't know the folder (an attribute of that name is then the user's) or
// the attribute can't be removed.
bool RemoveRecordedPassAttribute(int folder);

// Notes a fill file just made in the open folder `folder`. It stays in the record only until the run
// ends (ClosePassRecord): what a killed run wrote is then known at the next start.
void NoteFillFileInRecord(int folder, const std::string& name);

// Removes what earlier runs' passes recorded and left in the open folder `folder`, folders with what
// they hold as far as it was recorded too; returns how many entries went. Fill files stay, and so do
// attributes on other folders (RemoveRecordedPassAttribute, RemoveAllRecordedLeftovers).
int32_t RemoveRecordedLeftovers(int folder);

// At a run's end: keeps in the record only what is still there as it was made (what could not be
// removed), for the next start.
void ClosePassRecord();

// True when the record holds something that a run left (killed, or in a folder that gave nothing
// back); read from the record alone, without asking any device.
bool PassRecordHoldsLeftovers(const std::string& folder);

// Removes what the record holds, fill files of a killed run included, wherever it lies, as far as it is still as it was
// made; keeps the rest in the record. Returns how many entries went. Not during a run.
int32_t RemoveAllRecordedLeftovers(const std::string& folder);

} // namespace mirl
