// The command flows that keep the measurement package current: activation
// (enroll, then install whatever the server names), version update
// (install when the version differs) and package request (download only).
// Each returns what became of the run.
#pragma once

#include <string>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// The activation flow, on a connection whose certificate was checked.
Status run_activation(ServerLink* link);
// The version update flow, likewise.
Status run_version_update(ServerLink* link);
// The package request flow, likewise: fetches "/testpackage.tar.gz" from the
// collection server and puts it at "/tmp/testpackage.tar.gz" without
// installing it.
Status run_package_request(ServerLink* link);

// The new version (first line, cut at '\n', and for the version update also
// at '\r'; at most 19 characters) and the package locator (everything after
// the first '\n').
struct VersionReply {
  std::string new_version;
  std::string locator;
};
VersionReply read_version_reply(const std::string& text, bool stop_at_carriage_return);

// True when the two versions agree over their first 8 characters.
bool same_version(const std::string& installed, const std::string& offered);

}  // namespace halvorpin
