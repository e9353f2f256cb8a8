// For unit tests only: where the snapshot file is kept. Null restores the session's file.
#ifndef ZELCUPS_AGENT_SNAPSHOT_FILE_TESTING_H
#define ZELCUPS_AGENT_SNAPSHOT_FILE_TESTING_H

void SnapshotFile_SetPathForTesting(const char *path);

#endif
