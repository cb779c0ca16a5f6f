// vendor - where the vendor's web site lives. The banner of every rejection reply and the
// information addresses it points to are built from this one host name; programs that reach
// other vendor services define their hosts beside it.
//
// Exports: kVendorWebHost.
#pragma once

namespace korvex {

// Host of the vendor's web site, named in rejection banners and information addresses.
inline constexpr const char* kVendorWebHost = "www.korvex.example";

}  // namespace korvex
