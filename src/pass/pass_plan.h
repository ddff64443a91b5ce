#pragma once

#include "pass/volume_kind.h"

#include <cstdint>
#include <vector>

namespace mirl {

// NTFS takes a name's index entry in steps of 8 bytes, 4 characters a step: the pass's names there
// go from 55 characters (longer ones make ntfs-3g give a folder's record an attribute list, a change
// of the user's folder that stays) down to 3.
constexpr int32_t NtfsLongestName = 55;
constexpr int32_t NtfsShortestName = 3;
constexpr int32_t NtfsCharactersPerStep = 4;

// What each kind of filesystem keeps inside its metadata, and where deleted names stay.
struct PassPlan {
    std::vector<int32_t> contents; // bytes of the pass files, largest first, 0 last
    bool everyFolder = false;      // deleted entries stay in their own folder
    bool holdAll = false;          // the files take records of one common table: all stay until the end
    bool cycleJournal = false;
    bool takeRecords = false; // a tree of folders takes the free records of the file table
    // Folders but the run's get further names of the pass's empty files, which need no inode: a full
    // volume may have none left to give, while its folders' blocks still have room for entries.
    bool linkNames = false;
    bool attributesFirst = false; // the metadata's free space is filled with extended attributes first
};

PassPlan PlanFor(VolumeKind kind);

// The name lengths the pass tries in a folder, longest first: each a step smaller than the one
// before in the folder's own measure, so that every free entry gets a name. `nameMax` is the longest
// name the folder's filesystem takes (statfs), 0 when unknown.
std::vector<int32_t> NameLengths(VolumeKind kind, long nameMax);

// How many files the journal's step on ext4 changes at each commit. A commit writes the inode block
// of every `inodesPerBlock` of them, so more files take fewer commits, while each costs its making
// once, before the fill: the count that makes the two costs equal, from a commit's and a file's
// measured time, is taken. Never below `least`, nor more than three quarters of a transaction
// (a quarter of the journal) takes, nor above `most`.
int32_t CycleFilesFor(int64_t journalBytes, int64_t blockBytes, int64_t inodesPerBlock, double commitSeconds,
                      double makeSeconds, int32_t least, int32_t most);

} // namespace mirl
