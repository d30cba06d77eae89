// The real file system closes the last descriptor of a large file that is
// already deleted (the old data file a restructure replaced by a rename) on
// a thread of its own: that close is where the file's blocks are freed,
// which the restructure need not wait for. FileSystem::availableBytes()
// waits for those closes first, so that a room check counts the space.
#pragma once

namespace vellum::engine {

// Returns once every such close begun before the call has ended.
void WaitForBackgroundCloses();
// Tests: while held, those closes wait for WaitForBackgroundCloses().
void HoldBackgroundClosesForTests(bool held);

}  // namespace vellum::engine
