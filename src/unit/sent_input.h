// Removing what an upload sent from its input file (/tmp/output or
// /tmp/debug.out) without losing a byte a writer appended meanwhile, even
// when the run is killed halfway. The steps leave their state in names in
// the state directory ("<dir>/<input name>.*"), so the next run under the
// input's lock finishes them:
//   .sent.N   the input, moved aside; its first N bytes were accepted
//   .tail     the unsent rest of it, complete (only while no .sent.N is left)
//   .newer.L  a newer input a writer started meanwhile, moved aside while
//             the tail held L bytes; it is appended after those L bytes
#pragma once

#include <cstdio>

#include "base/owned.h"
#include "base/status.h"

namespace halvorpin {

// Opens an upload input for reading without following a link or blocking.
// Only a regular file with a single link is read: with the kernel's link
// protections off, a second name may belong to any file of the system.
// kInputMissing or kInputNotPlain (reason: the path).
Status open_upload_input(const char* path, FilePtr& stream);

// Once the first `consumed` bytes of `input` (open on `input_path`) were
// accepted: moves the file aside and puts the rest back at `input_path`.
// When the file there is no longer the one that was read, nothing happens.
void remove_sent_input(const char* input_path, FILE* input, long long consumed);

// Finishes what a killed run left of remove_sent_input: the unsent bytes go
// back to `input_path`, ahead of anything appended there since. Call it with
// the input's lock held, before the input is opened.
void settle_sent_input(const char* input_path);

}  // namespace halvorpin
