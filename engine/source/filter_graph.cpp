#include "source/filter_graph.h"

#include <new>

#include "ffmpeg/error.h"

namespace corvane {

filter_graph_ptr alloc_filter_graph() {
  filter_graph_ptr graph(avfilter_graph_alloc());
  if (!graph) throw std::bad_alloc();
  return graph;
}

filter_ends build_filter_chain(AVFilterGraph* graph, const char* source_filter,
                               const std::string& args, const char* sink_filter,
                               const std::string& chain, const std::string& kind) {
  const AVFilter* source = avfilter_get_by_name(source_filter);
  const AVFilter* sink = avfilter_get_by_name(sink_filter);
  if (source == nullptr || sink == nullptr)
    throw av_error(AVERROR_FILTER_NOT_FOUND, kind + ": find buffer filters");

  filter_ends ends;
  check(avfilter_graph_create_filter(&ends.source, source, "in", args.c_str(), nullptr, graph),
        kind + ": create filter source (" + args + ")");
  check(avfilter_graph_create_filter(&ends.sink, sink, "out", nullptr, nullptr, graph),
        kind + ": create filter sink");

  // Named after the parser's view: the chain's input comes out of "in".
  filter_inout_ptr outputs(avfilter_inout_alloc());
  filter_inout_ptr inputs(avfilter_inout_alloc());
  if (!outputs || !inputs) throw std::bad_alloc();
  outputs->name = av_strdup("in");
  outputs->filter_ctx = ends.source;
  outputs->pad_idx = 0;
  outputs->next = nullptr;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = ends.sink;
  inputs->pad_idx = 0;
  inputs->next = nullptr;
  if (outputs->name == nullptr || inputs->name == nullptr) throw std::bad_alloc();

  // The parser takes the lists over and gives back what it did not link.
  AVFilterInOut* open_inputs = inputs.release();
  AVFilterInOut* open_outputs = outputs.release();
  const int parsed =
      avfilter_graph_parse_ptr(graph, chain.c_str(), &open_inputs, &open_outputs, nullptr);
  inputs.reset(open_inputs);
  outputs.reset(open_outputs);
  check(parsed, kind + ": parse filter chain");
  check(avfilter_graph_config(graph, nullptr), kind + ": configure filter chain");
  return ends;
}

}  // namespace corvane
