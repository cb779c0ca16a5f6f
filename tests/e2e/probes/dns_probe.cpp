// dns_probe - asks glibc's resolver and prints what it answered, one fact a line.
//
//   dns_probe ptr <ipv4>        gethostbyaddr:  "name <host>" or "h_errno <name>"
//   dns_probe a|mx <name>       res_query:      "a <address>", "mx <pref> <host>" or "h_errno <name>"
//   dns_probe addrinfo <name>   getaddrinfo:    "address <address>" or "gai <code>"
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <resolv.h>

#include <cstdio>
#include <cstring>

namespace {

const char* h_errno_name(int error) {
  switch (error) {
    case HOST_NOT_FOUND: return "HOST_NOT_FOUND";
    case TRY_AGAIN: return "TRY_AGAIN";
    case NO_RECOVERY: return "NO_RECOVERY";
    case NO_DATA: return "NO_DATA";
    default: return "OTHER";
  }
}

int reverse(const char* text) {
  in_addr address{};
  if (inet_pton(AF_INET, text, &address) != 1) return 2;
  const hostent* host = gethostbyaddr(&address, sizeof address, AF_INET);
  if (host == nullptr) {
    std::printf("h_errno %s\n", h_errno_name(h_errno));
  } else {
    std::printf("name %s\n", host->h_name);
  }
  return 0;
}

int query(const char* name, int type) {
  unsigned char answer[4096];
  const int length = res_query(name, ns_c_in, type, answer, sizeof answer);
  if (length < 0) {
    std::printf("h_errno %s\n", h_errno_name(h_errno));
    return 0;
  }
  ns_msg message;
  if (ns_initparse(answer, length, &message) != 0) return 3;
  for (int index = 0; index < ns_msg_count(message, ns_s_an); ++index) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, index, &record) != 0) return 3;
    const unsigned char* data = ns_rr_rdata(record);
    char text[NS_MAXDNAME];
    if (ns_rr_type(record) == ns_t_a && inet_ntop(AF_INET, data, text, sizeof text) != nullptr) {
      std::printf("a %s\n", text);
    } else if (ns_rr_type(record) == ns_t_mx &&
               ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), data + 2, text,
                                  sizeof text) > 0) {
      std::printf("mx %u %s\n", ns_get16(data), text);
    }
  }
  return 0;
}

int addresses(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(name, nullptr, &hints, &found);
  if (error != 0) {
    std::printf("gai %s\n", error == EAI_NONAME ? "EAI_NONAME"
                            : error == EAI_AGAIN ? "EAI_AGAIN"
                                                 : "OTHER");
    return 0;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) {
      std::printf("address %s\n", text);
    }
  }
  freeaddrinfo(found);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "ptr") == 0) return reverse(argv[2]);
  if (std::strcmp(argv[1], "a") == 0) return query(argv[2], ns_t_a);
  if (std::strcmp(argv[1], "mx") == 0) return query(argv[2], ns_t_mx);
  if (std::strcmp(argv[1], "addrinfo") == 0) return addresses(argv[2]);
  return 2;
}
