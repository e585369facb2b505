// How a search entry walks its results: post them one by one, and stop early when the requester
// no longer wants them.
//
// The core refuses a result (post returns 1) once the request is cancelled, and each result post
// waits until the requester has released the previous one, so a long walk can outlive the
// requester's interest. The walk therefore asks before every result whether the request is
// cancelled (a cancel query, or the plugin closing) and stops at the first refused result.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace kv::samples {

// Posts results 0 to `count` - 1 in order with `post(i)`, which returns the post result. Stops
// before a result when `cancelled()` is true, and at the first result that `post` doesn't accept
// (non-zero). Returns the number of results accepted.
template <typename Post, typename Cancelled>
size_t walkResults(size_t count, Post&& post, Cancelled&& cancelled) {
  size_t accepted = 0;
  for (size_t i = 0; i < count; ++i) {
    if (cancelled()) break;
    if (post(i) != 0) break;
    ++accepted;
  }
  return accepted;
}

// The query text the samples agree on: "max=N" anywhere in it limits a search to the newest N
// results. Returns `fallback` when the query sets no limit.
inline size_t maxResults(std::string_view query, size_t fallback) {
  const size_t at = query.find("max=");
  if (at == std::string_view::npos) return fallback;
  size_t value = 0;
  bool digits = false;
  for (size_t i = at + 4; i < query.size() && query[i] >= '0' && query[i] <= '9'; ++i) {
    value = value * 10 + static_cast<size_t>(query[i] - '0');
    if (value > fallback) return fallback;
    digits = true;
  }
  return digits ? value : fallback;
}

}  // namespace kv::samples
