// The master playlist that ties the renditions of one ladder together.
#pragma once

#include <string>
#include <vector>

#include "ladder/plan.h"
#include "product/output_layout.h"

namespace corvane {

// The playlist's text: the header (the layout's HLS version), then one stream
// line and one URI line (the rendition's media playlist) per entry, in the
// order given, each line ending in a single line feed. The stream line gives
// the entry's measured bit rates, codecs, size and picture rate (three
// decimals); codecs left empty and a picture rate of 0 are left out.
std::string master_playlist_text(const std::vector<rendition_entry>& entries,
                                 const output_layout& layout);

// Writes the master playlist at `output`, replacing any earlier file; throws
// av_error carrying the operating system's reason when it cannot.
void write_master_playlist(const std::string& output, const std::vector<rendition_entry>& entries,
                           const output_layout& layout);

}  // namespace corvane
