// Building FFmpeg filter graphs: a source, a chain of filters given as text,
// and a sink. The sound's loudness chain and the pictures' treatment use it.
#pragma once

#include <string>

#include "ffmpeg/handles.h"

namespace corvane {

// The two ends of a filter graph, owned by the graph.
struct filter_ends {
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
};

// A new, empty filter graph; throws std::bad_alloc.
filter_graph_ptr alloc_filter_graph();

// Creates the graph's source filter `source_filter` ("buffer", "abuffer") with
// `args` and its sink `sink_filter`, links `chain` (filter graph text) between
// them and configures the graph. Throws av_error naming `kind` and the step.
filter_ends build_filter_chain(AVFilterGraph* graph, const char* source_filter,
                               const std::string& args, const char* sink_filter,
                               const std::string& chain, const std::string& kind);

}  // namespace corvane
