// The watcher's second trigger beside its timer: an event stream on the PPD directory
// that runs the same tick as soon as the directory changes.
#ifndef ZELCUPS_AGENT_FOLDER_STREAM_H
#define ZELCUPS_AGENT_FOLDER_STREAM_H

#include "agent_context.h"

// Starts the stream on directory into context->watcher_stream. Where the directory cannot
// be watched the timer alone finds its changes, as it also does for events the stream
// loses, so a stream that does not start is no failure.
void FolderStream_Start(AgentContext *context, const char *directory);
// Releases the stream; no tick comes from it afterwards.
void FolderStream_Stop(AgentContext *context);

#endif
