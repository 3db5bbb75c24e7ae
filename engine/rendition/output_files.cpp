#include "rendition/output_files.h"

#include <cstdio>
#include <new>
#include <string_view>

#include "ffmpeg/error.h"
#include "ffmpeg/handles.h"
#include "rendition/key_info.h"
#include "rendition/text_reader.h"

namespace corvane {
namespace {

output_files& files_of(const AVFormatContext* output) {
  return *static_cast<output_files*>(output->opaque);
}

// The file a URL the muxer opens names: encrypted segments are written through
// FFmpeg's "crypto:" protocol.
std::string file_named(std::string_view url) {
  for (const std::string_view protocol : {"crypto:", "file:"})
    if (url.starts_with(protocol)) url.remove_prefix(protocol.size());
  return std::string(url);
}

// The key info file with a fresh random IV for its third line. With the
// periodic_rekey flag the muxer reads the key info file at the start of every
// segment and encrypts the segment with the IV of its third line. (Without an
// IV line the muxer would write one IV, the first sequence number, for every
// segment: the same in every rendition under the one key.)
text_reader_ptr key_info_with_fresh_iv(const key_info_lines& lines) {
  return open_text_reader(lines.key_uri + '\n' + lines.key_file + '\n' + random_iv() + '\n');
}

// The output's io_open. Files are opened as FFmpeg's own io_open does; those
// opened for writing are recorded. Nothing may be thrown into the muxer,
// which calls this.
int open_file(AVFormatContext* output, AVIOContext** file, const char* url, int flags,
              AVDictionary** options) {
  output_files& files = files_of(output);
  try {
    if (files.fresh_iv_key_info && flags == AVIO_FLAG_READ && url == files.key_info_path) {
      *file = key_info_with_fresh_iv(*files.fresh_iv_key_info).release();  // closed by close_file
      return 0;
    }
    if (flags & AVIO_FLAG_WRITE) files.written.push_back(file_named(url));
  } catch (const av_error& e) {
    av_log(output, AV_LOG_ERROR, "%s\n", e.what());
    return e.code();
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  } catch (const std::exception& e) {
    av_log(output, AV_LOG_ERROR, "%s\n", e.what());
    return AVERROR_EXTERNAL;
  }
  return avio_open2(file, url, flags, &output->interrupt_callback, options);
}

// The output's io_close2. The hls muxer ignores what closing a segment or
// playlist file returns, and a write that failed (a full disk, a file size
// limit) only makes it warn: the rendition would end "complete" with a
// truncated segment or an empty playlist. The first such failure is kept.
int close_file(AVFormatContext* output, AVIOContext* file) {
  if (is_text_reader(file)) {
    close_text_reader(file);
    return 0;
  }
  if (!file->write_flag) return avio_close(file);
  avio_flush(file);
  const int write_error = file->error;
  const int closed = avio_close(file);
  const int failure = write_error < 0 ? write_error : closed;
  output_files& files = files_of(output);
  if (failure < 0 && files.first_failure == 0) files.first_failure = failure;
  return failure;
}

}  // namespace

void watch_output_files(AVFormatContext* output, output_files& files) {
  output->opaque = &files;
  output->io_open = open_file;
  output->io_close2 = close_file;
}

int write_failure(const AVFormatContext* output) {
  return output->opaque != nullptr ? files_of(output).first_failure : 0;
}

void remove_written_files(const output_files& files) {
  constexpr std::string_view temporary = ".tmp";
  for (const std::string& path : files.written) {
    std::remove(path.c_str());
    if (path.ends_with(temporary))
      std::remove(path.substr(0, path.size() - temporary.size()).c_str());
  }
}

}  // namespace corvane
