#include "source/open_input.h"

#include <utility>

#include "ffmpeg/error.h"
#include "source/source_policy.h"

namespace corvane {
namespace {

// Opens `url` through the "file" protocol and no other.
io_context_ptr open_local_file(const std::string& url, read_watch& watch) {
  AVDictionary* options = nullptr;
  const int set = av_dict_set(&options, "protocol_whitelist", "file", 0);
  dictionary_ptr owned_options(options);
  check(set, "set the protocol whitelist");
  // avio_open2 hands back in `options` a new dictionary of what it did not use.
  options = owned_options.release();
  AVIOContext* raw = nullptr;
  const AVIOInterruptCB interrupt = watch.callback();
  watch.starting();
  const int ret = avio_open2(&raw, url.c_str(), AVIO_FLAG_READ, &interrupt, &options);
  owned_options.reset(options);
  io_context_ptr io(raw);
  watch.check(ret, "cannot open input", url);
  return io;
}

// avformat_open_input frees the context it is given when it fails.
format_context_ptr open_format(format_context_ptr context, const std::string& url,
                               const AVInputFormat* format, read_watch& watch) {
  context->interrupt_callback = watch.callback();
  AVFormatContext* raw = context.release();
  watch.starting();
  const int ret = avformat_open_input(&raw, url.c_str(), format, nullptr);
  format_context_ptr input(raw);
  watch.check(ret, "cannot open input", url);
  return input;
}

format_context_ptr open_local_source(const std::string& url, read_watch& watch) {
  refuse_multi_file_name(url);
  io_context_ptr io = open_local_file(url, watch);
  const AVInputFormat* format = probe_local_format(io.get(), url);
  format_context_ptr context = alloc_format_context();
  confine_to_own_file(context.get());
  // A context given its AVIOContext marks it AVFMT_FLAG_CUSTOM_IO and never
  // closes it, on failure included: `io` keeps it until the context is open.
  context->pb = io.get();
  format_context_ptr input = open_format(std::move(context), url, format, watch);
  input->opaque = io.release();
  return input;
}

}  // namespace

format_context_ptr open_input(const std::string& url, read_watch& watch) {
  if (is_local_source(url)) return open_local_source(url, watch);
  // Said before FFmpeg tries: the self-contained wheel's FFmpeg is built
  // without a TLS library, so an https URL names a protocol it lacks.
  if (avio_find_protocol_name(url.c_str()) == nullptr)
    throw av_error(AVERROR_PROTOCOL_NOT_FOUND,
                   "cannot open input: this build of FFmpeg has no protocol for it (the "
                   "self-contained wheel has no https)",
                   url);
  return open_format(alloc_format_context(), url, nullptr, watch);
}

}  // namespace corvane
