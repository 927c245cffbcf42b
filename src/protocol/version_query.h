// Asking the collection server which package version the unit should run.
#pragma once

#include <string>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// Sends the installed version and the identifier; `text` receives the
// decrypted reply text (new version, '\n', package locator), empty when the
// one-block body does not decrypt with unit_key. kNoVersion when the reply is
// not a whole, well-formed "HTTP/1.1 200 OK" with a body of the length it
// announces.
Status version(ServerLink* link, const char* installed_version, std::string& text);

}  // namespace halvorpin
