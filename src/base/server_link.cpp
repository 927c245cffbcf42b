#include "base/server_link.h"

namespace halvorpin {

Timeouts g_timeouts;

}  // namespace halvorpin
