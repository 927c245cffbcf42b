// Uploading the results file in batches of lines and the log file, in clear
// or encrypted with the server's key. One run reads its share of the input
// (whole lines, at most 16 MiB as a rule: unit/line_share.h); the rest
// stays for the next run.
#pragma once

#include <cstdio>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

inline constexpr std::size_t kUploadBufferSize = 1000000;
inline constexpr std::size_t kLineReadSize = 4096;  // at most 4095 characters per read

// The results flow; `input` is "/tmp/output" opened for reading. Connects
// when the first batch is ready.
Status run_results_upload(ServerLink* link, FILE* input, bool encrypted);

// The log flow, on a connection whose certificate was checked; `input` is
// "/tmp/debug.out" opened for reading.
Status run_log_upload(ServerLink* link, FILE* input, bool encrypted);

// Lines per batch: SUBMIT_MAX_LINES from the environment, 100 by default.
int submit_max_lines();

}  // namespace halvorpin
