// Removing what an upload sent from its input file (/tmp/output or
// /tmp/debug.out) without losing a byte a writer appended meanwhile, even
// when the run is killed halfway, and without sending one twice. The steps
// leave their state in names in the state directory ("<dir>/<input name>.*"),
// so the next run under the input's lock finishes them:
//   .sent.N     the input, moved aside; its first N bytes were accepted
//   .tail.part  the unsent rest being copied out of it
//   .tail       the unsent rest, complete (only while no .sent.N is left);
//               never replaced or cut short: while it cannot go back to the
//               input's name it is the next run's input
//   .newer.L    a newer input a writer started meanwhile, moved aside while
//               the tail held L bytes; it is appended after those L bytes
//   .offset     "<device> <inode> <N> <size>": a file handed back as it was,
//               whose first N bytes were accepted (a large rest is not
//               copied; the sent part becomes a hole where the file system
//               can make one)
#pragma once

#include <cstdio>

#include "base/owned.h"
#include "base/status.h"

namespace halvorpin {

// Opens this run's upload input for reading without following a link or
// blocking: the tail an earlier run could not hand back when one waits in
// the state directory, otherwise `path`, where only a regular file with a
// single link is read (with the kernel's link protections off, a second name
// may belong to any file of the system). The stream is positioned past what
// an earlier run sent of a file it handed back as it was. kInputMissing or
// kInputNotPlain (reason: the path), or kUnreadable.
Status open_upload_input(const char* path, FilePtr& stream);

// Once `input` (opened by open_upload_input for `input_path`) was accepted
// up to its offset `consumed`: moves the file aside and puts the rest back
// at `input_path`. When the file there is no longer the one that was read,
// nothing happens. kHandBackUnfinished (reason: the path) when a step failed
// and the next run finishes it: the file could not be moved aside (what was
// sent is then recorded as sent in it, so the next run skips it), or the
// moved file could not be cut (settle_sent_input).
Status remove_sent_input(const char* input_path, FILE* input, long long consumed);

// Finishes what a killed run left of remove_sent_input: the unsent bytes go
// back to `input_path`, ahead of anything appended there since. Call it with
// the input's lock held, before the input is opened. False when a moved
// input is still to be cut: nothing newer may be read before it.
bool settle_sent_input(const char* input_path);

}  // namespace halvorpin
