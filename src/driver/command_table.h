// The commands the client knows: one table that dispatch, the usage texts
// and the locks are read from.
#pragma once

#include <cstdio>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

struct Command {
  const char* usage_line;        // its line in the full usage text
  const char* short_usage_line;  // its line in the short one, or null
  const char* input;             // the upload input it reads, or null
  const char* lock;              // the lock overlapping runs take turns on
  Status (*flow)(ServerLink* link, FILE* input, bool encrypted);
  char letter;
  bool connects_first;  // its flow starts on a checked connection
  bool encrypted;
};

// The command of `letter`, or null for a letter the client does not know.
const Command* find_command(char letter);

// The usage texts: the full one for a wrong argument count, the short one
// for an unknown command letter.
void write_full_usage(FILE* out);
void write_short_usage(FILE* out);

}  // namespace halvorpin
