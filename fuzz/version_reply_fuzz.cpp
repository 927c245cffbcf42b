// Fuzz target for the version reply and the package locator it names: the
// version is a bounded piece of the first line, the locator the rest, and a
// host that splits off is short and holds neither '/' nor ':'.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/package_download.h"
#include "protocol/update_flows.h"

using namespace halvorpin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the flavour: the version update also cuts at CR.
  const bool stop_at_cr = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  VersionReply reply = read_version_reply(text, stop_at_cr);
  const std::string& version = reply.new_version;
  if (version.size() > 19 || text.compare(0, version.size(), version) != 0 ||
      version.find('\n') != std::string::npos ||
      (stop_at_cr && version.find('\r') != std::string::npos)) {
    std::abort();
  }
  if (reply.locator != text.substr(std::min(text.find('\n'), text.size() - 1) + 1)) std::abort();

  PackageLocator where;
  if (!split_locator(reply.locator.c_str(), where)) return 0;
  if (where.host.size() >= kLocatorHostCapacity ||
      where.host.find_first_of("/:") != std::string::npos ||
      (!where.path.empty() && where.path[0] != '/') ||
      reply.locator.find(where.path) == std::string::npos) {
    std::abort();
  }
  return 0;
}
