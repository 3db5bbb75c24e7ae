// Opening a source: the one place that decides how, following the policy of
// source_policy.h.
#pragma once

#include <string>

#include "ffmpeg/handles.h"
#include "source/read_watch.h"

namespace corvane {

// Opens a source for reading, every blocking step of it answering to `watch`;
// throws as read_watch::check does, naming `url`. A local path is read as one
// self-contained media file and nothing else, as source_policy.h describes:
// the context reads from an AVIOContext opened here, which it owns through its
// `opaque`. Any other URL is opened with FFmpeg's defaults.
format_context_ptr open_input(const std::string& url, read_watch& watch);

}  // namespace corvane
