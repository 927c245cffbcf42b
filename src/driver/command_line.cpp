#include "driver/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/number_text.h"

namespace halvorpin {

bool parse_command_line(int argc, const char* const* argv, CommandLine& out) {
  out = CommandLine{};
  if (argc != 3) return false;
  std::strncpy(out.url, argv[1], kUrlCapacity - 1);
  std::strncpy(out.command, argv[2], kCommandCapacity - 1);
  return true;
}

void split_url(const char* url, std::string& host, int& port) {
  const char* scheme_end = std::strstr(url, "://");
  host = scheme_end != nullptr ? scheme_end + 3 : url;
  std::string::size_type colon = host.find(':');
  if (colon == std::string::npos) {
    port = 443;
    return;
  }
  port = parse_leading_int(host.c_str() + colon + 1);
  host.resize(colon);
}

void read_timeouts_from_environment(Timeouts& timeouts) {
  if (const char* v = std::getenv("CONN_TIMEOUT")) timeouts.ct = parse_leading_int(v);
  if (const char* v = std::getenv("READ_TIMEOUT")) timeouts.rt = parse_leading_int(v);
  if (const char* v = std::getenv("WRITE_TIMEOUT")) timeouts.wt = parse_leading_int(v);
}

}  // namespace halvorpin
