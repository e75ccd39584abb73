#pragma once

// Gzip-compressed sources (sitemap.xml.gz and the like), inflated in memory
// under a bound on what they may become: a few kilobytes can stand for
// gigabytes, so the bound is checked as the output grows, and reading stops
// there after work proportional to the bound, not to what the data claims.
//
// Every member of a multi-member stream is read, as gzip itself does. Bytes
// after the last member that do not start another member are refused: they
// mean a damaged or mislabelled file, and reading what comes before them
// would pass half a file for a whole one.

#include <cstddef>
#include <string>
#include <string_view>

namespace corvandel::announce {

// Whether bytes start with the gzip magic (1f 8b).
bool LooksGzipped(std::string_view bytes);

// Inflates every member of compressed into out (replaced). False, with a
// reason in error, when the data is corrupt, ends early, has trailing bytes,
// or would decompress to more than maxBytes; out then holds nothing useful.
bool Gunzip(std::string_view compressed, std::size_t maxBytes, std::string& out, std::string& error);

}  // namespace corvandel::announce
