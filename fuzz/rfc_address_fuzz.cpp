// Fuzz target: the address-header syntax of qv_rfc - qv_rfc822_email_address,
// qv_split_addresses and the plain address test, on one header value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "support/qv_log.h"
#include "support/qv_rfc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  // The routines take C strings, so the value ends at the first NUL as it would in a header.
  const std::string text(reinterpret_cast<const char*>(data), size);
  int bracketed = 0;
  (void)korvex::qv_rfc822_email_address(text.c_str(), &bracketed);
  (void)korvex::qv_rfc822_email_address(text.c_str(), nullptr);
  (void)korvex::qv_valid_email_address(text.c_str());
  (void)korvex::qv_valid_domain(text.c_str());
  (void)korvex::qv_is_ip(text.c_str());
  korvex::qv_list pieces = korvex::qv_split_addresses(text.c_str());
  for (const auto& piece : pieces) {
    // Each piece must be a NUL-terminated text inside its block.
    const char* start = static_cast<const char*>(piece->data);
    std::size_t length = 0;
    while (length < piece->size && start[length] != '\0') ++length;
    if (length == piece->size) __builtin_trap();
    (void)korvex::qv_rfc822_email_address(start, &bracketed);
  }
  return 0;
}
