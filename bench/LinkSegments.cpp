#include "LinkSegments.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

TLinkSegments LinkSegments(uint16_t APort) {
  TLinkSegments total;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return total;
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) continue;
    uint16_t port = 0;
    if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port);
    if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6 &>(peer).sin6_port);
    tcp_info info{};
    length = sizeof info;
    if (port != APort || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) continue;
    total.ToBroker += info.tcpi_segs_out;
    total.FromBroker += info.tcpi_segs_in;
  }
  closedir(dir);
  return total;
}
