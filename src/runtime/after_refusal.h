#pragma once

namespace mirl {

// What follows a direct write that the device refused (a full volume): the page cache offers the
// rest, or the file ends there, so that nothing of it waits in the cache for blocks the filesystem
// would have to find at writeback (when its reserve pool is lent out, it may find none).
enum class AfterRefusal { ThroughCache, EndsFile };

} // namespace mirl
