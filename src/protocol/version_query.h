// Asking the collection server which package version the unit should run.
#pragma once

#include <optional>
#include <string>

#include "base/server_link.h"

namespace halvorpin {

// Sends the installed version and the identifier; returns the decrypted reply
// text (new version, '\n', package locator), an empty text when the one-block
// body does not decrypt with unit_key, or no text when the reply is not a
// well-formed "HTTP/1.1 200 OK" with a body of the length it announces.
std::optional<std::string> version(ServerLink* link, const char* installed_version);

}  // namespace halvorpin
