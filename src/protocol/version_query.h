// Asking the collection server which package version the unit should run.
#pragma once

#include <string>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// Sends the installed version and the identifier; `text` receives the
// decrypted reply text (new version, '\n', package locator), empty when the
// one-block body does not decrypt with unit_key. kVersionRefused when the
// reply's code is not 200 (the reason names the host and its status line),
// kVersionUnusable when it is not whole or has no body of a length it
// announced (Content-Length or chunks) of at most 1024 bytes.
Status version(ServerLink* link, const char* installed_version, std::string& text);

}  // namespace halvorpin
