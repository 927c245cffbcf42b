#include "unit/mac_address.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/owned.h"

namespace halvorpin {
namespace {

struct NameIndexFree {
  void operator()(struct if_nameindex* list) const { if_freenameindex(list); }
};

// Asks for the hardware address of one interface and formats it.
bool read_hardware_address(int sock, const char* interface_name, char* out, std::size_t out_size) {
  struct ifreq request {};
  std::strncpy(request.ifr_name, interface_name, IFNAMSIZ - 1);
  if (::ioctl(sock, SIOCGIFHWADDR, &request) < 0) return false;
  const auto* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
  std::snprintf(out, out_size, "%02X%02X%02X%02X%02X%02X", hw[0], hw[1], hw[2], hw[3], hw[4],
                hw[5]);
  return true;
}

}  // namespace

Status getmac(const char* interface_name, char* out, std::size_t out_size) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return Status(Code::kNoMac, "getmac()::Unable to create socket\n");
  std::unique_ptr<struct if_nameindex, NameIndexFree> list(if_nameindex());
  if (!list) return local_failure(Code::kNoMac);
  for (struct if_nameindex* entry = list.get(); entry->if_index != 0 && entry->if_name != nullptr;
       ++entry) {
    if (std::strcmp(entry->if_name, interface_name) != 0) continue;
    if (!read_hardware_address(sock.get(), entry->if_name, out, out_size)) {
      return Status(Code::kNoMac, "ioctl Error: SIOCGIFHWADDR \n");
    }
  }
  return {};
}

}  // namespace halvorpin
