// URLs of a tenant's service: "https://" + tenant + service domain + path.
#pragma once

#include "runtime/runtime.hpp"

namespace korvane {

namespace nb = nanobind;

// The DNS suffix after the tenant label, fixed when korvane is built.
inline constexpr const char service_domain[] = KORVANE_SERVICE_DOMAIN;

// "https://" + tenant + service domain, the tenant formatted as an f-string field does.
// A tenant that is not one or more labels of letters, digits and '-' separated by single
// dots would move the request to another host or path: it raises ValueError naming it,
// before anything is sent.
nb::str tenant_origin(nb::handle tenant);

// `text` percent-encoded as a URL path segment or query value: every byte of its UTF-8
// form other than letters, digits and "-_.~" becomes %XX, and so do the dots of "." and
// "..", which would otherwise not stay a segment of their own. A text with no UTF-8 form
// (a lone surrogate) raises UnicodeEncodeError.
nb::str percent_encoded(nb::str text);

}  // namespace korvane
