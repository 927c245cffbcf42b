// How much of an upload input one run takes: at most 16 MiB (more than a
// unit's RAM-backed /tmp holds), in whole lines, so that no line reaches
// the server in two runs.
#pragma once

namespace halvorpin {

inline constexpr long long kRunInputLimit = 16LL * 1024 * 1024;
// A line longer than kRunInputLimit goes whole in a run of its own, up to
// this length; no unit's /tmp holds a longer one, and what has no line feed
// for that long is not lines.
inline constexpr long long kLongLineLimit = 64LL * 1024 * 1024;

// Where one run's share of the input `fd` ends when it starts reading at
// `from`: kRunInputLimit bytes on while the input holds no more than that
// (the run reads to its end, whatever a writer appends meanwhile, as far as
// that); otherwise just past the last line feed within kRunInputLimit
// bytes; when there is none, just past the first one, unless that is more
// than kLongLineLimit bytes away: then kRunInputLimit bytes on.
long long run_share_end(int fd, long long from);

}  // namespace halvorpin
